using System.IO;
using System.Text.Json;

namespace Korvessa.LauncherKit
{
    // The JSON of the two records, as the service's routes take and give them.
    internal static class Json
    {
        public static byte[] Encode(LoginTicket ticket) => Write(writer =>
        {
            writer.WriteString(Protocol.Members.Username, ticket.Username);
            writer.WriteString(Protocol.Members.ClientLogin, ticket.ClientLogin);
            writer.WriteString(Protocol.Members.Ticket, ticket.Ticket);
            writer.WriteString(Protocol.Members.ExpiresAt, ticket.ExpiresAt);
            writer.WriteNumber(Protocol.Members.TtlSeconds, ticket.TtlSeconds);
        });

        public static byte[] Encode(PresenceSession session) => Write(writer =>
        {
            writer.WriteNumber(Protocol.Members.Pid, session.ProcessId);
            writer.WriteNumber(Protocol.Members.LogOffset, session.LogOffset);
        });

        // The ticket of a GET /launch/session reply, or null when the body is not one.
        public static LoginTicket? DecodeTicket(string body)
        {
            try
            {
                using JsonDocument document = JsonDocument.Parse(body);
                JsonElement root = document.RootElement;
                if (root.ValueKind != JsonValueKind.Object)
                {
                    return null;
                }
                string? username = Text(root, Protocol.Members.Username);
                string? clientLogin = Text(root, Protocol.Members.ClientLogin);
                string? ticket = Text(root, Protocol.Members.Ticket);
                string? expiresAt = Text(root, Protocol.Members.ExpiresAt);
                if (username is null || clientLogin is null || ticket is null || expiresAt is null
                    || !root.TryGetProperty(Protocol.Members.TtlSeconds, out JsonElement ttl) || ttl.ValueKind != JsonValueKind.Number
                    || !ttl.TryGetInt64(out long ttlSeconds) || ttlSeconds < 0)
                {
                    return null;
                }
                return new LoginTicket(username, clientLogin, ticket, expiresAt, ttlSeconds);
            }
            catch (JsonException)
            {
                return null;
            }
        }

        private static string? Text(JsonElement record, string name) =>
            record.TryGetProperty(name, out JsonElement value) && value.ValueKind == JsonValueKind.String ? value.GetString() : null;

        internal static byte[] Write(System.Action<Utf8JsonWriter> members)
        {
            using var buffer = new MemoryStream();
            using (var writer = new Utf8JsonWriter(buffer))
            {
                writer.WriteStartObject();
                members(writer);
                writer.WriteEndObject();
            }
            return buffer.ToArray();
        }
    }
}
