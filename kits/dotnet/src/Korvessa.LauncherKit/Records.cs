using System;

namespace Korvessa.LauncherKit
{
    /// <summary>A launch ticket, as PUT /launch/session takes it and GET /launch/session hands it back.</summary>
    /// <remarks>
    /// <see cref="Sidecar.PutLaunchTicketAsync"/> checks it before sending: every text is valid
    /// Unicode (no lone surrogate), else <see cref="ArgumentException"/> naming the field.
    /// </remarks>
    /// <param name="Username">The player's name; may be empty.</param>
    /// <param name="ClientLogin">The client login; must begin with "!".</param>
    /// <param name="Ticket">The ticket; must not be empty.</param>
    /// <param name="ExpiresAt">Kept for the game client, unread by the service.</param>
    /// <param name="TtlSeconds">Kept for the game client, unread by the service; 0 or more.</param>
    public sealed record LoginTicket(string Username, string ClientLogin, string Ticket, string ExpiresAt, long TtlSeconds)
    {
        /// <summary>Names the ticket's holder, never its secrets.</summary>
        public override string ToString() => $"LoginTicket {{ Username = {Username}, ClientLogin = {ClientLogin} }}";
    }

    /// <summary>The running game, as PUT /presence/session registers it.</summary>
    /// <remarks><see cref="Sidecar.PutPresenceSessionAsync"/> checks it before sending.</remarks>
    /// <param name="ProcessId">The game's process id, from 1 to 4294967295.</param>
    /// <param name="LogOffset">The proxy log's size just before the game started (0 or more): see <see cref="ProxyLog.Offset"/>.</param>
    public sealed record PresenceSession(long ProcessId, long LogOffset);

    /// <summary>How the service ended.</summary>
    /// <param name="ExitCode">
    /// Its exit status, as .NET reports it: on Linux and macOS a process ended by a signal reports
    /// 128 plus the signal's number, which an exit status of that number cannot be told from.
    /// </param>
    /// <param name="Killed">Whether this kit ended it (<see cref="Sidecar.StopAsync"/>, disposing, a failed start).</param>
    public sealed record SidecarExit(int ExitCode, bool Killed);

    /// <summary>One line of the service's standard error.</summary>
    public sealed class SidecarDiagnosticEventArgs : EventArgs
    {
        /// <summary>A line with its line feed removed.</summary>
        public SidecarDiagnosticEventArgs(string line)
        {
            Line = line ?? throw new ArgumentNullException(nameof(line));
        }

        /// <summary>The line, without its line feed, the access token replaced by "&lt;token&gt;".</summary>
        public string Line { get; }
    }
}
