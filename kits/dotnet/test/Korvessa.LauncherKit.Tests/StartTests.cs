namespace Korvessa.LauncherKit.Tests;

// Every way a start can fail arrives as its error and leaves nothing running, and every start
// of the table succeeds (kits/cases.json).
public class StartTests
{
    public static IEnumerable<object[]> StartFailures => Fixtures.Named("startFailures");

    public static IEnumerable<object[]> Starts => Fixtures.Named("starts");

    [Theory]
    [MemberData(nameof(StartFailures))]
    public async Task StartFails(string name)
    {
        JsonElement row = Fixtures.Row("startFailures", name);
        JsonElement expected = row.GetProperty("error");
        (SidecarOptions options, Func<int>? pid) = OptionsFor(row);
        string readBack = Path.Combine(Fixtures.Scratch, $"read-back-{Guid.NewGuid():N}");
        if (row.TryGetProperty("readBack", out JsonElement wanted) && wanted.GetBoolean())
        {
            options.Environment["KCS_READ_BACK"] = readBack;
        }

        Exception? error = await Record.ExceptionAsync(() => Sidecar.StartAsync(options));

        Fixtures.AssertFailure(error, expected);
        if (error is SidecarException failure)
        {
            if (expected.TryGetProperty("exitStatus", out JsonElement status))
            {
                Assert.Equal(status.GetInt32(), failure.ExitCode);
            }
            if (expected.TryGetProperty("diagnostics", out JsonElement lines))
            {
                Assert.Equal(lines.EnumerateArray().Select(line => line.GetString()), failure.Diagnostics);
            }
        }
        Assert.DoesNotContain(new string('x', 31), error!.Message, StringComparison.Ordinal);
        if (pid is not null)
        {
            Assert.False(Fixtures.IsRunning(pid()), "the program was left running");
        }
        if (options.Environment.ContainsKey("KCS_READ_BACK"))
        {
            // Read with a JSON reader of the test's: exactly the two members, in order, as given.
            using JsonDocument line = JsonDocument.Parse(File.ReadAllText(readBack));
            Assert.Equal(
                Fixtures.Cases.GetProperty("protocol").GetProperty("records").GetProperty("config").EnumerateArray().Select(m => m.GetString()),
                line.RootElement.EnumerateObject().Select(member => member.Name));
            Assert.Equal(options.Token, line.RootElement.GetProperty("token").GetString());
            Assert.Equal(options.ClientDirectory, line.RootElement.GetProperty("clientDir").GetString());
        }
    }

    [Theory]
    [MemberData(nameof(Starts))]
    public async Task StartSucceeds(string name)
    {
        JsonElement row = Fixtures.Row("starts", name);
        await using Sidecar sidecar = await Sidecar.StartAsync(OptionsFor(row).Options);
        if (row.TryGetProperty("port", out JsonElement port))
        {
            Assert.Equal(port.GetInt32(), sidecar.Port);
        }
        if (row.TryGetProperty("then", out JsonElement steps))
        {
            foreach (JsonElement step in steps.EnumerateArray())
            {
                await SessionTests.Check(sidecar, step);
            }
        }
        SidecarExit exit = await sidecar.StopAsync();
        Assert.True(exit.Killed);
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
        SidecarOptions options = Fixtures.Options(standIn.Path, Path.Combine(Fixtures.Scratch, "Spiele \"ü\" \\ 鍵"));
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
            byte[] line = await File.ReadAllBytesAsync(standIn.Path + ".line");
            Assert.Equal((byte)'{', line[0]);
            using JsonDocument config = JsonDocument.Parse(line);
            Assert.Equal(options.ClientDirectory, config.RootElement.GetProperty("clientDir").GetString());
        }
    }

    // The options of a row: its stand-in or the service it names (else the built one), and the
    // options it gives; and how to find the stand-in's pid.
    private static (SidecarOptions Options, Func<int>? Pid) OptionsFor(JsonElement row)
    {
        (string Path, Func<int> Pid)? standIn = row.TryGetProperty("standIn", out JsonElement body)
            ? Fixtures.StandIn(body.GetString()!) : null;
        JsonElement given = row.TryGetProperty("options", out JsonElement o) ? o : default;
        string? clientDirectory = given.ValueKind == JsonValueKind.Object && given.TryGetProperty("clientDir", out JsonElement dir)
            ? dir.GetString() : null;
        SidecarOptions options = Fixtures.Options(standIn?.Path ?? ServiceFor(row), clientDirectory);
        if (given.ValueKind == JsonValueKind.Object)
        {
            foreach (JsonProperty option in given.EnumerateObject())
            {
                switch (option.Name)
                {
                    case "token": options.Token = option.Value.GetString(); break;
                    case "servicePath": options.ServicePath = option.Value.GetString(); break;
                    case "launcherPid": options.LauncherProcessId = option.Value.GetInt64(); break;
                    case "announceTimeoutMs": options.AnnounceTimeout = TimeSpan.FromMilliseconds(option.Value.GetInt64()); break;
                    case "requestTimeoutMs": options.RequestTimeout = TimeSpan.FromMilliseconds(option.Value.GetInt64()); break;
                    case "clientDir": break;
                    default: throw new ArgumentException($"unknown option {option.Name}");
                }
            }
        }
        return (options, standIn?.Pid);
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
}
