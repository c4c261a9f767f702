using System.Diagnostics;

// The tests run against the Linux service, with shell-script stand-ins.
[assembly: System.Runtime.Versioning.SupportedOSPlatform("linux")]

namespace Korvessa.LauncherKit.Tests;

// Shared by the tests: the built service, a private scratch folder, stand-in programs, the cases
// that every kit's tests read (kits/cases.json).
internal static class Fixtures
{
    // The built service: KCS_SERVICE, or the default build of this repository.
    public static readonly string ServicePath = Environment.GetEnvironmentVariable("KCS_SERVICE")
        ?? Path.GetFullPath(Path.Combine(RepositoryRoot(), "build", "korvessa-client-services"));

    public static readonly string Scratch = Directory.CreateTempSubdirectory("kcs-dotnet-kit-").FullName;

    // A private runtime directory, so that a registered presence never reaches a real Discord.
    public static readonly string RuntimeDirectory = PrivateDirectory("rt");

    public static readonly JsonElement Cases =
        JsonDocument.Parse(File.ReadAllText(Path.Combine(AppContext.BaseDirectory, "cases.json"))).RootElement;

    public static string Token => Cases.GetProperty("token").GetString()!;

    private static int _programs;

    static Fixtures()
    {
        // A system proxy that answers nothing: a kit whose requests to 127.0.0.1 went through
        // the proxy (as .NET's default handler does) would fail every call. Set before the
        // first request, when .NET reads it.
        Environment.SetEnvironmentVariable("http_proxy", "http://127.0.0.1:9");
        Environment.SetEnvironmentVariable("HTTP_PROXY", "http://127.0.0.1:9");
    }

    // The kit's names for the table's options and record fields, as its ArgumentException names them.
    public static readonly Dictionary<string, string> KitNames = new()
    {
        ["token"] = nameof(SidecarOptions.Token),
        ["launcherPid"] = nameof(SidecarOptions.LauncherProcessId),
        ["announceTimeout"] = nameof(SidecarOptions.AnnounceTimeout),
        ["requestTimeout"] = nameof(SidecarOptions.RequestTimeout),
        ["servicePath"] = nameof(SidecarOptions.ServicePath),
        ["clientDir"] = nameof(SidecarOptions.ClientDirectory),
        ["clientLogin"] = nameof(LoginTicket.ClientLogin),
        ["ticket"] = nameof(LoginTicket.Ticket),
        ["ttlSeconds"] = nameof(LoginTicket.TtlSeconds),
        ["pid"] = nameof(PresenceSession.ProcessId),
        ["logOffset"] = nameof(PresenceSession.LogOffset),
    };

    public static SidecarOptions Options(string? servicePath = null, string? clientDirectory = null)
    {
        var options = new SidecarOptions(clientDirectory ?? Scratch) { ServicePath = servicePath ?? ServicePath, Token = Token };
        options.Environment["XDG_RUNTIME_DIR"] = RuntimeDirectory;
        return options;
    }

    // A stand-in for the service: a shell script with this body that first writes its pid to a
    // file, so a test can tell whether the kit left it running.
    public static (string Path, Func<int> Pid) StandIn(string body)
    {
        string path = System.IO.Path.Combine(Scratch, $"program-{Interlocked.Increment(ref _programs)}.sh");
        File.WriteAllText(path, $"#!/bin/sh\necho $$ > '{path}.pid'\n{body}\n");
        File.SetUnixFileMode(path, UnixFileMode.UserRead | UnixFileMode.UserWrite | UnixFileMode.UserExecute);
        // No pid in the file: the program was ended before it ran its first line (0 names no process).
        return (path, () => File.Exists(path + ".pid") && int.TryParse(File.ReadAllText(path + ".pid"), out int pid) ? pid : 0);
    }

    // Whether the process runs: it exists and is not a zombie awaiting its reaper.
    public static bool IsRunning(int pid)
    {
        try
        {
            string stat = File.ReadAllText($"/proc/{pid}/stat");
            return stat[stat.LastIndexOf(") ", StringComparison.Ordinal) + 2] != 'Z';
        }
        catch (IOException)
        {
            return false;
        }
    }

    public static async Task<T> Within<T>(Task<T> task, int seconds) =>
        await task.WaitAsync(TimeSpan.FromSeconds(seconds));

    public static Process Sleeper()
    {
        var sleeper = Process.Start(new ProcessStartInfo("sleep", "60") { UseShellExecute = false })!;
        return sleeper;
    }

    private static string PrivateDirectory(string name)
    {
        string path = Path.Combine(Scratch, name);
        Directory.CreateDirectory(path, UnixFileMode.UserRead | UnixFileMode.UserWrite | UnixFileMode.UserExecute);
        return path;
    }

    private static string RepositoryRoot()
    {
        for (var folder = new DirectoryInfo(AppContext.BaseDirectory); folder is not null; folder = folder.Parent)
        {
            if (File.Exists(Path.Combine(folder.FullName, "kits", "cases.json")))
            {
                return folder.FullName;
            }
        }
        throw new InvalidOperationException("no repository above the tests; set KCS_SERVICE");
    }

    // The names of a table's rows that the kit's types can express (see Expressible).
    public static IEnumerable<object[]> Named(string table)
    {
        foreach (JsonElement row in Cases.GetProperty(table).EnumerateArray())
        {
            if (Expressible(row))
            {
                yield return new object[] { row.GetProperty("name").GetString()! };
            }
        }
    }

    // Whether every number in the row is one a long holds exactly: the kit's numbers are longs,
    // so a fraction or a number above 2^63-1 cannot even be handed to it.
    public static bool Expressible(JsonElement element) => element.ValueKind switch
    {
        JsonValueKind.Number => element.TryGetInt64(out _),
        JsonValueKind.Object => element.EnumerateObject().All(member => Expressible(member.Value)),
        JsonValueKind.Array => element.EnumerateArray().All(Expressible),
        _ => true,
    };

    // A failure as the table describes it: the kind (an argument refusal names the option), and
    // what its message says; never the token.
    public static void AssertFailure(Exception? error, JsonElement expected)
    {
        Assert.NotNull(error);
        string kind = expected.GetProperty("kind").GetString()!;
        if (kind == "argument")
        {
            ArgumentException refused = Assert.IsAssignableFrom<ArgumentException>(error);
            Assert.Equal(KitNames[expected.GetProperty("option").GetString()!], refused.ParamName);
        }
        else
        {
            SidecarException failure = Assert.IsType<SidecarException>(error);
            Assert.Equal(kind.Replace("-", "", StringComparison.Ordinal), failure.Kind.ToString(), ignoreCase: true);
            Assert.DoesNotContain(Token, string.Join("\n", failure.Diagnostics) + failure.ResponseBody, StringComparison.Ordinal);
        }
        if (expected.TryGetProperty("says", out JsonElement says))
        {
            Assert.Contains(says.GetString()!, error.Message, StringComparison.Ordinal);
        }
        Assert.DoesNotContain(Token, error.ToString(), StringComparison.Ordinal);
    }

    public static JsonElement Row(string table, string name)
    {
        foreach (JsonElement row in Cases.GetProperty(table).EnumerateArray())
        {
            if (row.GetProperty("name").GetString() == name)
            {
                return row;
            }
        }
        throw new ArgumentException(name);
    }
}
