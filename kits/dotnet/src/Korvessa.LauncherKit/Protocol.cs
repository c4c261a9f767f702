namespace Korvessa.LauncherKit
{
    // The service's wire contract, written once for the kit: its routes, the token's header, the
    // health reply, the error codes of its failure replies ({"ok":false,"error":CODE}), the JSON
    // member names of its records (in the order the kit writes them) and the proxy log's name.
    internal static class Protocol
    {
        internal const string TokenHeader = "x-korvessa-token";
        internal const string HealthBody = "{\"ok\":true,\"service\":\"korvessa-client-services\"}";
        internal const string ProxyLogFileName = "KorvessaAuthProxy.log";

        internal static readonly Route Health = new Route("GET", "/health");
        internal static readonly Route PutLaunchTicket = new Route("PUT", "/launch/session");
        internal static readonly Route TakeLaunchTicket = new Route("GET", "/launch/session");
        internal static readonly Route PutPresenceSession = new Route("PUT", "/presence/session");

        internal static string FailureBody(string code) => "{\"ok\":false,\"error\":\"" + code + "\"}";

        internal static class Errors
        {
            internal const string BadRequest = "bad_request";
            internal const string Unauthorized = "unauthorized";
            internal const string InvalidTicket = "invalid_ticket";
            internal const string InvalidPresenceSession = "invalid_presence_session";
            internal const string NoLaunchSession = "no_launch_session";
            internal const string NotFound = "not_found";
            internal const string SerializationFailed = "serialization_failed";
        }

        // The records' member names; each record's encoder writes them in this order.
        internal static class Members
        {
            internal const string Token = "token";
            internal const string ClientDir = "clientDir";

            internal const string Username = "username";
            internal const string ClientLogin = "clientLogin";
            internal const string Ticket = "ticket";
            internal const string ExpiresAt = "expiresAt";
            internal const string TtlSeconds = "ttlSeconds";

            internal const string Pid = "pid";
            internal const string LogOffset = "logOffset";
        }
    }

    internal sealed class Route
    {
        public Route(string method, string path)
        {
            Method = method;
            Path = path;
        }

        public string Method { get; }

        public string Path { get; }

        // "PUT /launch/session", for messages.
        public override string ToString() => Method + " " + Path;
    }
}
