namespace Korvessa.LauncherKit.Tests;

// Every way a start can fail arrives as its error and leaves nothing running (kits/cases.json).
public class StartTests
{
    private static readonly Dictionary<string, string> OptionNames = new()
    {
        ["token"] = nameof(SidecarOptions.Token),
        ["launcherPid"] = nameof(SidecarOptions.LauncherProcessId),
        ["announceTimeout"] = nameof(SidecarOptions.AnnounceTimeout),
    };

    public static IEnumerable<object[]> StartFailures => Fixtures.Named("startFailures");

    [Theory]
    [MemberData(nameof(StartFailures))]
    public async Task StartFails(string name)
    {
        JsonElement row = Fixtures.Row("startFailures", name);
        JsonElement expected = row.GetProperty("error");
        (string Path, Func<int> Pid)? standIn = row.TryGetProperty("standIn", out JsonElement body)
            ? Fixtures.StandIn(body.GetString()!) : null;
        SidecarOptions options = Fixtures.Options(standIn?.Path ?? ServiceFor(row));
        if (row.TryGetProperty("options", out JsonElement given))
        {
            Apply(options, given);
        }

        Exception error = await Record.ExceptionAsync(() => Sidecar.StartAsync(options));

        string kind = expected.GetProperty("kind").GetString()!;
        Assert.NotNull(error);
        if (kind == "argument")
        {
            ArgumentException refused = Assert.IsAssignableFrom<ArgumentException>(error);
            Assert.Equal(OptionNames[expected.GetProperty("option").GetString()!], refused.ParamName);
        }
        else
        {
            SidecarException failure = Assert.IsType<SidecarException>(error);
            Assert.Equal(kind.Replace("-", "", StringComparison.Ordinal), failure.Kind.ToString(), ignoreCase: true);
            if (expected.TryGetProperty("exitStatus", out JsonElement status))
            {
                Assert.Equal(status.GetInt32(), failure.ExitCode);
            }
            if (expected.TryGetProperty("diagnostics", out JsonElement lines))
            {
                Assert.Equal(lines.EnumerateArray().Select(line => line.GetString()), failure.Diagnostics);
            }
            Assert.DoesNotContain(Fixtures.Token, string.Join("\n", failure.Diagnostics) + failure.ResponseBody);
        }
        if (expected.TryGetProperty("says", out JsonElement says))
        {
            Assert.Contains(says.GetString()!, error.Message, StringComparison.Ordinal);
        }
        Assert.DoesNotContain(Fixtures.Token, error.ToString(), StringComparison.Ordinal);
        Assert.DoesNotContain(new string('x', 31), error.Message, StringComparison.Ordinal);
        if (standIn is { } program)
        {
            Assert.False(Fixtures.IsRunning(program.Pid()), "the program was left running");
        }
    }

    [Fact]
    public async Task CancellingAStartEndsTheProgram()
    {
        var standIn = Fixtures.StandIn("exec sleep 60");
        using var cancel = new CancellationTokenSource(TimeSpan.FromMilliseconds(300));
        await Assert.ThrowsAnyAsync<OperationCanceledException>(
            () => Sidecar.StartAsync(Fixtures.Options(standIn.Path), cancel.Token));
        Assert.False(Fixtures.IsRunning(standIn.Pid()), "the program was left running");
    }

    [Fact]
    public async Task ServiceIsFoundInTheAppsOutput()
    {
        // Nothing was put beside the tests: the message says where it looked and what to do.
        SidecarOptions options = Fixtures.Options();
        options.ServicePath = null;
        var error = await Assert.ThrowsAsync<SidecarException>(() => Sidecar.StartAsync(options));
        Assert.Equal(SidecarErrorKind.Spawn, error.Kind);
        Assert.Contains(Path.Combine(AppContext.BaseDirectory, "korvessa-client-services"), error.Message, StringComparison.Ordinal);
        Assert.Contains("ServicePath", error.Message, StringComparison.Ordinal);
    }

    [Fact]
    public async Task ConfigurationLineIsUtf8WithoutByteOrderMark()
    {
        // Whatever the console's input encoding, even one that writes a byte-order mark.
        var standIn = Fixtures.StandIn(
            "IFS= read -r line; printf '%s' \"$line\" > \"$0.line\"; echo http://127.0.0.1:9; exec sleep 60");
        var options = new SidecarOptions(Path.Combine(Fixtures.Scratch, "Spiele \"ü\" \\ 鍵"))
        {
            ServicePath = standIn.Path,
            Token = Fixtures.Token,
        };
        System.Text.Encoding console = Console.InputEncoding;
        Console.InputEncoding = new System.Text.UTF8Encoding(true);
        Sidecar sidecar;
        try
        {
            sidecar = await Sidecar.StartAsync(options);
            Assert.Equal(3, Console.InputEncoding.GetPreamble().Length); // put back as it was
        }
        finally
        {
            Console.InputEncoding = console;
        }
        await using (sidecar)
        {
            Assert.Equal(new Uri("http://127.0.0.1:9"), sidecar.Url);
            byte[] line = await File.ReadAllBytesAsync(standIn.Path + ".line");
            Assert.Equal((byte)'{', line[0]);
            using JsonDocument config = JsonDocument.Parse(line);
            Assert.Equal(Fixtures.Token, config.RootElement.GetProperty("token").GetString());
            Assert.Equal(options.ClientDirectory, config.RootElement.GetProperty("clientDir").GetString());
        }
    }

    private static string ServiceFor(JsonElement row)
    {
        string folder = Path.Combine(Fixtures.Scratch, "services");
        Directory.CreateDirectory(folder);
        switch (row.TryGetProperty("service", out JsonElement service) ? service.GetString() : null)
        {
            case "missing":
                return Path.Combine(folder, "no-such-service");
            case "directory":
                return folder;
            case "not-runnable":
                string path = Path.Combine(folder, "not-runnable");
                File.WriteAllText(path, "#!/bin/sh\n");
                return path;
            default:
                return Fixtures.ServicePath;
        }
    }

    private static void Apply(SidecarOptions options, JsonElement given)
    {
        foreach (JsonProperty option in given.EnumerateObject())
        {
            switch (option.Name)
            {
                case "token": options.Token = option.Value.GetString(); break;
                case "launcherPid": options.LauncherProcessId = option.Value.GetInt32(); break;
                case "announceTimeoutMs": options.AnnounceTimeout = TimeSpan.FromMilliseconds(option.Value.GetInt32()); break;
                default: throw new ArgumentException($"unknown option {option.Name}");
            }
        }
    }
}
