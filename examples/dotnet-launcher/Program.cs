// dotnet-launcher [CLIENT_DIR]: what a game launcher does with korvessa-client-services through
// Korvessa.LauncherKit. It starts the service the package put beside it, stores a launch ticket
// and takes it back (the way the game client would), registers a game for presence (itself, from
// the current end of the proxy log), prints each step, and ends the service. Status 0 when every
// step worked.
using System;
using System.Diagnostics;
using System.Threading.Tasks;
using Korvessa.LauncherKit;

internal static class Program
{
    private static async Task<int> Main(string[] args)
    {
        if (args.Length > 1)
        {
            Console.Error.WriteLine("usage: dotnet-launcher [CLIENT_DIR]");
            return 2;
        }
        string clientDirectory = args.Length == 1 ? args[0] : "";
        try
        {
            return await RunAsync(clientDirectory);
        }
        catch (SidecarException error)
        {
            Console.Error.WriteLine($"dotnet-launcher: {error.Kind}: {error.Message}");
            return 1;
        }
    }

    private static async Task<int> RunAsync(string clientDirectory)
    {
        // No ServicePath: the one the package put beside this program. No token: a fresh random
        // one. No launcher process id: the service stays beside this process.
        await using Sidecar sidecar = await Sidecar.StartAsync(new SidecarOptions(clientDirectory));
        Console.WriteLine($"started the service: pid {sidecar.ProcessId}, {sidecar.Url}");
        sidecar.Diagnostic += (_, e) => Console.WriteLine($"service says: {e.Line}");

        await sidecar.CheckHealthAsync();
        Console.WriteLine("GET /health gave the health reply");

        var ticket = new LoginTicket("ann", "!ann", "T-example", "2026-01-01T00:00:00Z", 3600);
        await sidecar.PutLaunchTicketAsync(ticket);
        Console.WriteLine($"stored a launch ticket for {ticket.ClientLogin}");
        if (await sidecar.TakeLaunchTicketAsync() != ticket)
        {
            return Failed("the ticket taken back is not the one stored");
        }
        Console.WriteLine("took the ticket back");
        if (await sidecar.TakeLaunchTicketAsync() is not null)
        {
            return Failed("the ticket was handed out twice");
        }
        Console.WriteLine("a second take found none");

        int self;
        using (var current = Process.GetCurrentProcess())
        {
            self = current.Id;
        }
        var game = new PresenceSession(self, ProxyLog.Offset(clientDirectory));
        await sidecar.PutPresenceSessionAsync(game);
        Console.WriteLine($"registered pid {game.ProcessId} for presence, from offset {game.LogOffset} of the proxy log");

        // A launcher that simply exits ends the service as well (status 0 within about 100 ms);
        // this one ends it at once.
        SidecarExit end = await sidecar.StopAsync();
        Console.WriteLine($"stopped the service (status {end.ExitCode})");
        return 0;
    }

    private static int Failed(string what)
    {
        Console.Error.WriteLine($"dotnet-launcher: {what}");
        return 1;
    }
}
