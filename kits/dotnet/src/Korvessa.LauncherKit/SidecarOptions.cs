using System;
using System.Collections.Generic;
using System.Text;

namespace Korvessa.LauncherKit
{
    /// <summary>How <see cref="Sidecar.StartAsync"/> starts the service. Checked before anything starts.</summary>
    public sealed class SidecarOptions
    {
        internal const int MinimumTokenBytes = 32;

        /// <summary>Options for a service that follows the proxy log in <paramref name="clientDirectory"/>.</summary>
        /// <param name="clientDirectory">
        /// The game client directory, passed on as it is: it may be empty and need not exist yet. A
        /// wrong one costs only the presence: the service finds no proxy log (<see cref="ProxyLog.FileName"/>) there.
        /// </param>
        public SidecarOptions(string clientDirectory)
        {
            ClientDirectory = clientDirectory ?? throw new ArgumentNullException(nameof(clientDirectory));
        }

        /// <summary>The game client directory, where the service follows the proxy log.</summary>
        public string ClientDirectory { get; }

        /// <summary>
        /// The service's executable. Null (the default): the one this package put in the app's output,
        /// beside the app or under runtimes/&lt;rid&gt;/native/ there.
        /// </summary>
        public string? ServicePath { get; set; }

        /// <summary>
        /// The access token: at least 32 bytes of printable ASCII (it travels in an HTTP header). Null
        /// (the default): 32 bytes from a cryptographic random source, hex-encoded.
        /// </summary>
        public string? Token { get; set; }

        /// <summary>
        /// The process the service stays beside and ends after, from 1 to 4294967295. Null (the
        /// default): this process.
        /// </summary>
        public long? LauncherProcessId { get; set; }

        /// <summary>How long to wait for the address line; 10 seconds by default.</summary>
        public TimeSpan AnnounceTimeout { get; set; } = TimeSpan.FromSeconds(10);

        /// <summary>The time-out of each request, from connecting to the end of the reply; 5 seconds by default.</summary>
        public TimeSpan RequestTimeout { get; set; } = TimeSpan.FromSeconds(5);

        /// <summary>
        /// Variables set in the service's environment on top of this process's; a null value removes
        /// the variable.
        /// </summary>
        public IDictionary<string, string?> Environment { get; } = new Dictionary<string, string?>(StringComparer.Ordinal);

        /// <summary>Names the options, never the token.</summary>
        public override string ToString() =>
            $"SidecarOptions {{ ClientDirectory = {ClientDirectory}, ServicePath = {ServicePath ?? "(packaged)"} }}";

        // Throws ArgumentException naming the option that is not usable; never shows the token.
        internal void Check()
        {
            if (Token is not null)
            {
                if (Encoding.UTF8.GetByteCount(Token) < MinimumTokenBytes)
                {
                    throw new ArgumentException($"the token must be at least {MinimumTokenBytes} bytes long", nameof(Token));
                }
                foreach (char c in Token)
                {
                    if (c < '!' || c > '~')
                    {
                        throw new ArgumentException(
                            "the token may hold only printable ASCII characters without spaces, which an HTTP header carries unchanged",
                            nameof(Token));
                    }
                }
            }
            if (LauncherProcessId is long pid)
            {
                Checks.ProcessId(pid, nameof(LauncherProcessId));
            }
            Checks.Text(ClientDirectory, nameof(ClientDirectory));
            CheckTimeout(AnnounceTimeout, nameof(AnnounceTimeout));
            CheckTimeout(RequestTimeout, nameof(RequestTimeout));
            if (ServicePath is not null && ServicePath.Length == 0)
            {
                throw new ArgumentException("the service path must not be empty", nameof(ServicePath));
            }
            foreach (string name in Environment.Keys)
            {
                if (name.Length == 0 || name.IndexOf('=') >= 0)
                {
                    throw new ArgumentException($"the environment variable name \"{name}\" is not usable", nameof(Environment));
                }
            }
        }

        internal static void CheckTimeout(TimeSpan timeout, string name)
        {
            // A timer takes at most int.MaxValue milliseconds.
            if (timeout <= TimeSpan.Zero || timeout.TotalMilliseconds > int.MaxValue)
            {
                throw new ArgumentOutOfRangeException(name, $"{name} must be positive and at most {int.MaxValue} ms");
            }
        }
    }
}
