using System.Net;
using System.Net.Sockets;

namespace Korvessa.LauncherKit.Tests;

// The kit against the real service: the shared session, the service's end, cancellation.
public class SessionTests
{
    [Fact]
    public async Task WholeSessionFromTheSharedTable()
    {
        SidecarOptions options = Fixtures.Options();
        options.Token = null;
        await using Sidecar sidecar = await Sidecar.StartAsync(options);
        Assert.Matches("^[0-9a-f]{64}$", sidecar.Token);
        Assert.Equal(new Uri($"http://127.0.0.1:{sidecar.Port}"), sidecar.Url);
        Assert.Equal(Environment.ProcessId, sidecar.LauncherProcessId);
        Assert.True(Fixtures.IsRunning(sidecar.ProcessId));
        Assert.DoesNotContain(sidecar.Token, sidecar.ToString(), StringComparison.Ordinal);
        var diagnostics = new List<string>();
        sidecar.Diagnostic += (_, line) => { lock (diagnostics) { diagnostics.Add(line.Line); } };

        foreach (JsonElement step in Fixtures.Cases.GetProperty("session").EnumerateArray())
        {
            await Check(sidecar, step);
        }

        SidecarExit stopped = await sidecar.StopAsync();
        Assert.True(stopped.Killed);
        Assert.Same(await sidecar.Exited, await sidecar.StopAsync());
        Assert.False(Fixtures.IsRunning(sidecar.ProcessId));
        foreach (JsonElement step in Fixtures.Cases.GetProperty("afterStop").EnumerateArray())
        {
            await Check(sidecar, step);
        }
        lock (diagnostics)
        {
            Assert.Empty(diagnostics); // nothing goes wrong, and no Discord is reachable
        }
    }

    [Fact]
    public async Task ServiceEndsWithStatusZeroWhenItsLauncherEnds()
    {
        using var launcher = Fixtures.Sleeper();
        SidecarOptions options = Fixtures.Options();
        options.LauncherProcessId = launcher.Id;
        await using Sidecar sidecar = await Sidecar.StartAsync(options);
        Assert.True(await sidecar.CheckHealthAsync());
        launcher.Kill();
        SidecarExit exit = await Fixtures.Within(sidecar.Exited, 5);
        Assert.Equal(new SidecarExit(0, false), exit);
        var error = await Assert.ThrowsAsync<SidecarException>(() => sidecar.CheckHealthAsync());
        Assert.Equal(SidecarErrorKind.Connection, error.Kind);
        Assert.Contains("ended by itself with status 0", error.Message, StringComparison.Ordinal);
    }

    [Fact]
    public async Task KilledServiceGivesConnection()
    {
        await using Sidecar sidecar = await Sidecar.StartAsync(Fixtures.Options());
        using (var service = System.Diagnostics.Process.GetProcessById(sidecar.ProcessId))
        {
            service.Kill();
        }
        // Whether the end has been noticed or the port is found closed, it is a Connection failure.
        var error = await Assert.ThrowsAsync<SidecarException>(() => sidecar.TakeLaunchTicketAsync());
        Assert.Equal(SidecarErrorKind.Connection, error.Kind);
        Assert.Equal(137, (await Fixtures.Within(sidecar.Exited, 5)).ExitCode);
    }

    [Fact]
    public async Task CancellingACallLeavesTheServiceRunning()
    {
        // A stand-in announces a port that accepts and never answers, so a call hangs until its
        // time-out or its cancellation.
        using var silent = new TcpListener(IPAddress.Loopback, 0);
        silent.Start();
        int port = ((IPEndPoint)silent.LocalEndpoint).Port;
        var standIn = Fixtures.StandIn($"read line; echo http://127.0.0.1:{port}; exec sleep 60");
        await using Sidecar sidecar = await Sidecar.StartAsync(Fixtures.Options(standIn.Path));

        using (var cancel = new CancellationTokenSource(TimeSpan.FromMilliseconds(200)))
        {
            var cancelled = await Assert.ThrowsAnyAsync<OperationCanceledException>(
                () => sidecar.PutPresenceSessionAsync(new PresenceSession(Environment.ProcessId, 0), cancel.Token));
            Assert.Equal(cancel.Token, cancelled.CancellationToken);
        }
        Assert.False(sidecar.Exited.IsCompleted);

        sidecar.RequestTimeout = TimeSpan.FromMilliseconds(200);
        var late = await Assert.ThrowsAsync<SidecarException>(() => sidecar.CheckHealthAsync());
        Assert.Equal(SidecarErrorKind.Connection, late.Kind);
        Assert.Contains("within 200 ms", late.Message, StringComparison.Ordinal);
        Assert.Throws<ArgumentOutOfRangeException>(() => sidecar.RequestTimeout = TimeSpan.Zero);
        Assert.False(sidecar.Exited.IsCompleted);
    }

    [Fact]
    public async Task DiagnosticsKeptUntilTheFirstHandler()
    {
        // Lines before and after the address line; one holds the token (the stand-in echoes its
        // input), which never reaches a handler.
        var standIn = Fixtures.StandIn(
            "read line; echo one >&2; printf '%s\\n' \"$line\" >&2; echo http://127.0.0.1:9; sleep 0.3; printf 'two\\r\\n' >&2; exec sleep 60");
        await using Sidecar sidecar = await Sidecar.StartAsync(Fixtures.Options(standIn.Path));
        var lines = new List<string>();
        object? from = null;
        var all = new TaskCompletionSource();
        sidecar.Diagnostic += (sender, e) =>
        {
            from = sender;
            lines.Add(e.Line);
            if (e.Line == "two")
            {
                all.TrySetResult();
            }
        };
        await all.Task.WaitAsync(TimeSpan.FromSeconds(5));
        Assert.Same(sidecar, from);
        Assert.Equal(3, lines.Count);
        Assert.Equal("one", lines[0]);
        Assert.DoesNotContain(Fixtures.Token, lines[1], StringComparison.Ordinal);
        Assert.Contains("<token>", lines[1], StringComparison.Ordinal);
    }

    // One step of the shared table: the call, then what it returns or how it fails.
    private static async Task Check(Sidecar sidecar, JsonElement step)
    {
        string call = step.GetProperty("call").GetString()!;
        Func<Task<object?>> run = call switch
        {
            "checkHealth" => async () => await sidecar.CheckHealthAsync(),
            "takeLaunchTicket" => async () => await sidecar.TakeLaunchTicketAsync(),
            "putLaunchTicket" => async () => { await sidecar.PutLaunchTicketAsync(Ticket(step.GetProperty("record"))!); return null; },
            "putPresenceSession" => async () => { await sidecar.PutPresenceSessionAsync(Session(step.GetProperty("record"))); return null; },
            _ => throw new ArgumentException(call),
        };
        if (step.TryGetProperty("error", out JsonElement expected))
        {
            var error = await Assert.ThrowsAsync<SidecarException>(run);
            Assert.Equal(expected.GetProperty("kind").GetString(), error.Kind.ToString(), ignoreCase: true);
            if (expected.TryGetProperty("status", out JsonElement status))
            {
                Assert.Equal(status.GetInt32(), error.StatusCode);
                Assert.Equal(expected.GetProperty("body").GetString(), error.ResponseBody);
            }
            if (expected.TryGetProperty("says", out JsonElement says))
            {
                Assert.Contains(says.GetString()!, error.Message, StringComparison.Ordinal);
            }
            return;
        }
        JsonElement returns = step.GetProperty("returns");
        object? result = await run();
        switch (returns.ValueKind)
        {
            case JsonValueKind.Null: Assert.Null(result); break;
            case JsonValueKind.True: Assert.Equal(true, result); break;
            default: Assert.Equal(Ticket(returns), result); break;
        }
    }

    private static LoginTicket? Ticket(JsonElement record) => new(
        record.GetProperty("username").GetString()!,
        record.GetProperty("clientLogin").GetString()!,
        record.GetProperty("ticket").GetString()!,
        record.GetProperty("expiresAt").GetString()!,
        record.GetProperty("ttlSeconds").GetInt64());

    private static PresenceSession Session(JsonElement record)
    {
        JsonElement pid = record.GetProperty("pid");
        return new PresenceSession(
            pid.ValueKind == JsonValueKind.String ? Environment.ProcessId : pid.GetInt32(),
            record.GetProperty("logOffset").GetInt64());
    }
}
