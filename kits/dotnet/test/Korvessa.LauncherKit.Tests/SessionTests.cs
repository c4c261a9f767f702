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

        // Steps with numbers a long cannot hold are skipped (a put and the take that returns it).
        foreach (JsonElement step in Fixtures.Cases.GetProperty("session").EnumerateArray().Where(Fixtures.Expressible))
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

        await sidecar.DisposeAsync();
        Assert.Same(stopped, await sidecar.StopAsync());
        foreach (JsonElement step in Fixtures.Cases.GetProperty("afterStop").EnumerateArray())
        {
            await Assert.ThrowsAsync<ObjectDisposedException>(() => Call(sidecar, step));
        }
    }

    [Fact]
    public async Task ServiceEndsWithStatusZeroWhenItsLauncherEnds()
    {
        using var launcher = Fixtures.Sleeper();
        SidecarOptions options = Fixtures.Options();
        options.LauncherProcessId = launcher.Id;
        await using Sidecar sidecar = await Sidecar.StartAsync(options);
        await sidecar.CheckHealthAsync();
        launcher.Kill();
        SidecarExit exit = await Fixtures.Within(sidecar.Exited, 5);
        Assert.Equal(new SidecarExit(0, false), exit);
        var error = await Assert.ThrowsAsync<SidecarException>(() => sidecar.CheckHealthAsync());
        Assert.Equal(SidecarErrorKind.Connection, error.Kind);
        Assert.Contains("ended with status 0", error.Message, StringComparison.Ordinal);
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
        Assert.Equal(new SidecarExit(137, false), await Fixtures.Within(sidecar.Exited, 5));
        // The kit cannot tell a SIGKILL from an exit with status 137, nor say who sent it.
        error = await Assert.ThrowsAsync<SidecarException>(() => sidecar.TakeLaunchTicketAsync());
        Assert.Contains("status 137", error.Message, StringComparison.Ordinal);
        Assert.Contains("signal 9", error.Message, StringComparison.Ordinal);
        Assert.DoesNotContain("by itself", error.Message, StringComparison.Ordinal);
    }

    [Fact]
    public async Task HealthFailsOnAnyOtherReply()
    {
        // A stand-in announces a port that gives one reply to every request.
        foreach ((string status, string body) in new[] { ("200 OK", "{\"ok\":true}"), ("503 Service Unavailable", "busy") })
        {
            using var server = new TcpListener(IPAddress.Loopback, 0);
            server.Start();
            _ = Answer(server, $"HTTP/1.1 {status}\r\nContent-Length: {body.Length}\r\nConnection: close\r\n\r\n{body}");
            var standIn = Fixtures.StandIn($"read line; echo http://127.0.0.1:{((IPEndPoint)server.LocalEndpoint).Port}; exec sleep 60");
            await using Sidecar sidecar = await Sidecar.StartAsync(Fixtures.Options(standIn.Path));
            var error = await Assert.ThrowsAsync<SidecarException>(() => sidecar.CheckHealthAsync());
            Assert.Equal(SidecarErrorKind.Http, error.Kind);
            Assert.Equal(int.Parse(status[..3], System.Globalization.CultureInfo.InvariantCulture), error.StatusCode);
            Assert.Equal(body, error.ResponseBody);
            // Nothing listens on the port any more.
            server.Stop();
            error = await Assert.ThrowsAsync<SidecarException>(() => sidecar.CheckHealthAsync());
            Assert.Equal(SidecarErrorKind.Connection, error.Kind);
        }
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

    // Answers every request on the listener with the reply, until the listener is stopped.
    private static async Task Answer(TcpListener server, string reply)
    {
        try
        {
            while (true)
            {
                using TcpClient client = await server.AcceptTcpClientAsync();
                using NetworkStream stream = client.GetStream();
                using var request = new StreamReader(stream, leaveOpen: true);
                while (!string.IsNullOrEmpty(await request.ReadLineAsync()))
                {
                }
                await stream.WriteAsync(System.Text.Encoding.UTF8.GetBytes(reply));
            }
        }
        catch (Exception e) when (e is SocketException or ObjectDisposedException or IOException)
        {
            // The listener was stopped.
        }
    }

    // One step of the shared table: the call, then what it returns or how it fails.
    internal static async Task Check(Sidecar sidecar, JsonElement step)
    {
        if (step.TryGetProperty("error", out JsonElement expected))
        {
            Fixtures.AssertFailure(await Record.ExceptionAsync(() => Call(sidecar, step)), expected);
            return;
        }
        JsonElement returns = step.GetProperty("returns");
        object? result = await Call(sidecar, step);
        if (returns.ValueKind == JsonValueKind.Null)
        {
            Assert.Null(result);
        }
        else
        {
            Assert.Equal(Ticket(returns), result);
        }
    }

    private static async Task<object?> Call(Sidecar sidecar, JsonElement step)
    {
        string call = step.GetProperty("call").GetString()!;
        switch (call)
        {
            case "checkHealth": await sidecar.CheckHealthAsync(); return null;
            case "takeLaunchTicket": return await sidecar.TakeLaunchTicketAsync();
            case "putLaunchTicket": await sidecar.PutLaunchTicketAsync(Ticket(step.GetProperty("record"))); return null;
            case "putPresenceSession": await sidecar.PutPresenceSessionAsync(Session(step.GetProperty("record"))); return null;
            default: throw new ArgumentException(call);
        }
    }

    private static LoginTicket Ticket(JsonElement record) => new(
        record.GetProperty("username").GetString()!,
        record.GetProperty("clientLogin").GetString()!,
        record.GetProperty("ticket").GetString()!,
        record.GetProperty("expiresAt").GetString()!,
        record.GetProperty("ttlSeconds").GetInt64());

    private static PresenceSession Session(JsonElement record)
    {
        JsonElement pid = record.GetProperty("pid");
        return new PresenceSession(
            pid.ValueKind == JsonValueKind.String ? Environment.ProcessId : pid.GetInt64(),
            record.GetProperty("logOffset").GetInt64());
    }
}
