using System;

namespace Korvessa.LauncherKit
{
    // The rules the service holds its records and options to, checked at the call so that a
    // refusal names the field (the service's 400 names none) and nothing is sent. Messages never
    // hold a text's value: a ticket's texts and the token are secrets.
    internal static class Checks
    {
        // Process ids travel as unsigned 32-bit numbers (Windows' DWORD); 0 names no process.
        internal const long MaxProcessId = uint.MaxValue;

        internal static void Ticket(LoginTicket ticket)
        {
            Text(ticket.Username, nameof(LoginTicket.Username));
            Text(ticket.ClientLogin, nameof(LoginTicket.ClientLogin));
            Text(ticket.Ticket, nameof(LoginTicket.Ticket));
            Text(ticket.ExpiresAt, nameof(LoginTicket.ExpiresAt));
            if (!ticket.ClientLogin.StartsWith("!", StringComparison.Ordinal))
            {
                throw new ArgumentException("the ticket's ClientLogin must begin with \"!\"", nameof(LoginTicket.ClientLogin));
            }
            if (ticket.Ticket.Length == 0)
            {
                throw new ArgumentException("the ticket's Ticket must not be empty", nameof(LoginTicket.Ticket));
            }
            NotNegative(ticket.TtlSeconds, nameof(LoginTicket.TtlSeconds));
        }

        internal static void Session(PresenceSession session)
        {
            ProcessId(session.ProcessId, nameof(PresenceSession.ProcessId));
            NotNegative(session.LogOffset, nameof(PresenceSession.LogOffset));
        }

        internal static void ProcessId(long pid, string name)
        {
            if (pid < 1 || pid > MaxProcessId)
            {
                throw new ArgumentOutOfRangeException(name, pid, $"{name} must be a process id from 1 to {MaxProcessId}");
            }
        }

        // A text the service can read: not null, and valid Unicode (no lone surrogate), which
        // UTF-8 can carry.
        internal static void Text(string? text, string name)
        {
            if (text is null)
            {
                throw new ArgumentNullException(name);
            }
            for (int i = 0; i < text.Length; i++)
            {
                if (char.IsSurrogate(text[i]))
                {
                    if (!char.IsSurrogatePair(text, i))
                    {
                        throw new ArgumentException($"{name} holds a lone surrogate, which is not valid Unicode", name);
                    }
                    i++;
                }
            }
        }

        private static void NotNegative(long value, string name)
        {
            if (value < 0)
            {
                throw new ArgumentOutOfRangeException(name, value, $"{name} must not be negative");
            }
        }
    }
}
