using System;
using System.Globalization;
using System.Security.Cryptography;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Korvessa.LauncherKit
{
    /// <summary>
    /// A running korvessa-client-services beside this process: start one with <see cref="StartAsync"/>,
    /// call its routes, and stop it with <see cref="StopAsync"/> or by disposing it. When this process
    /// ends, the service notices within about 100 ms and ends too, with status 0.
    /// </summary>
    public sealed class Sidecar : IAsyncDisposable, IDisposable
    {
        private readonly ServiceProcess _child;
        private readonly SidecarClient _client;
        private int _disposed;

        private Sidecar(ServiceProcess child, int port, string token, long launcherProcessId, TimeSpan requestTimeout)
        {
            _child = child;
            Port = port;
            Url = new Uri("http://127.0.0.1:" + port.ToString(CultureInfo.InvariantCulture));
            Token = token;
            LauncherProcessId = launcherProcessId;
            _client = new SidecarClient(Url, token, child.Exited, requestTimeout);
            child.Diagnostics.Sender = this;
        }

        /// <summary>The address the service announced, http://127.0.0.1:PORT.</summary>
        public Uri Url { get; }

        /// <summary>The port the service listens on (on 127.0.0.1).</summary>
        public int Port { get; }

        /// <summary>The service's process id.</summary>
        public int ProcessId => _child.Id;

        /// <summary>The process the service stays beside (1 to 4294967295).</summary>
        public long LauncherProcessId { get; }

        /// <summary>The access token; hand it only to whoever else talks to the service (the game client).</summary>
        [System.Diagnostics.DebuggerBrowsable(System.Diagnostics.DebuggerBrowsableState.Never)]
        public string Token { get; }

        /// <summary>The time-out of each request, from connecting to the end of the reply.</summary>
        /// <exception cref="ArgumentOutOfRangeException">The value is not positive.</exception>
        public TimeSpan RequestTimeout
        {
            get => _client.RequestTimeout;
            set
            {
                SidecarOptions.CheckTimeout(value, nameof(RequestTimeout));
                _client.RequestTimeout = value;
            }
        }

        /// <summary>Completes when the service has ended, with how it ended. It never faults.</summary>
        public Task<SidecarExit> Exited => _child.Exited;

        /// <summary>
        /// Raised for each line of the service's standard error, in order, on a thread-pool thread:
        /// never on a UI thread, never inside the add or the remove, never under a lock of the
        /// kit's. The last 100 lines that came while no handler was there are raised to the next
        /// handler added, before any later line. Exceptions thrown by a handler are dropped. A
        /// handler that blocks holds up later lines (at most 1000 wait; later ones are dropped
        /// until it returns), never the reading of standard error.
        /// </summary>
        public event EventHandler<SidecarDiagnosticEventArgs>? Diagnostic
        {
            add => _child.Diagnostics.Add(value);
            remove => _child.Diagnostics.Remove(value);
        }

        /// <summary>
        /// Starts the service with "--launcher-pid", writes the configuration line and waits for the
        /// address line. On failure nothing is left running.
        /// </summary>
        /// <exception cref="ArgumentException">An option is not usable; the message names it.</exception>
        /// <exception cref="SidecarException">The service could not be started or did not announce its address.</exception>
        /// <exception cref="OperationCanceledException">The start was cancelled; the service was ended.</exception>
        public static Task<Sidecar> StartAsync(SidecarOptions options, CancellationToken cancellationToken = default)
        {
            // Refused options throw here, before a task exists.
            if (options is null)
            {
                throw new ArgumentNullException(nameof(options));
            }
            options.Check();
            return StartCheckedAsync(options, cancellationToken);
        }

        private static async Task<Sidecar> StartCheckedAsync(SidecarOptions options, CancellationToken cancellationToken)
        {
            cancellationToken.ThrowIfCancellationRequested();
            string token = options.Token ?? NewToken();
            long launcherProcessId = options.LauncherProcessId ?? CurrentProcessId();
            TimeSpan announceTimeout = options.AnnounceTimeout;
            TimeSpan requestTimeout = options.RequestTimeout;
            byte[] configuration = ConfigurationLine.Encode(token, options.ClientDirectory);
            string servicePath = options.ServicePath ?? ServiceLocator.Find();

            ServiceProcess child = ServiceProcess.Start(servicePath, launcherProcessId, options.Environment, token);
            try
            {
                bool taken = await child.WriteConfigurationAsync(configuration, cancellationToken).ConfigureAwait(false);
                int port = await AwaitAnnouncementAsync(child, taken, announceTimeout, cancellationToken).ConfigureAwait(false);
                return new Sidecar(child, port, token, launcherProcessId, requestTimeout);
            }
            catch
            {
                await child.KillAsync().ConfigureAwait(false);
                child.Dispose();
                throw;
            }
        }

        /// <summary>GET /health: completes when the service gives its health reply.</summary>
        /// <exception cref="SidecarException">
        /// Any other reply (<see cref="SidecarErrorKind.Http"/>, with its status and body), or no reply
        /// (<see cref="SidecarErrorKind.Connection"/>).
        /// </exception>
        /// <exception cref="ObjectDisposedException">The sidecar was disposed.</exception>
        public Task CheckHealthAsync(CancellationToken cancellationToken = default)
        {
            ThrowIfDisposed();
            return CheckHealthCheckedAsync(cancellationToken);
        }

        /// <summary>PUT /launch/session: stores the ticket for the game client, replacing any held one.</summary>
        /// <exception cref="ArgumentException">A field breaks its rule (see <see cref="LoginTicket"/>); the exception names it. Nothing was sent.</exception>
        /// <exception cref="SidecarException">The service refused it (<see cref="SidecarErrorKind.Http"/>) or the request failed.</exception>
        /// <exception cref="ObjectDisposedException">The sidecar was disposed.</exception>
        public Task PutLaunchTicketAsync(LoginTicket ticket, CancellationToken cancellationToken = default)
        {
            ThrowIfDisposed();
            if (ticket is null)
            {
                throw new ArgumentNullException(nameof(ticket));
            }
            Checks.Ticket(ticket);
            return _client.StoreAsync(Protocol.PutLaunchTicket, Json.Encode(ticket), cancellationToken);
        }

        /// <summary>GET /launch/session: takes the held ticket out of the service; null when none is held.</summary>
        /// <exception cref="SidecarException">An unexpected reply (<see cref="SidecarErrorKind.Http"/>) or a failed request.</exception>
        /// <exception cref="ObjectDisposedException">The sidecar was disposed.</exception>
        public Task<LoginTicket?> TakeLaunchTicketAsync(CancellationToken cancellationToken = default)
        {
            ThrowIfDisposed();
            return TakeLaunchTicketCheckedAsync(cancellationToken);
        }

        /// <summary>PUT /presence/session: registers the running game for presence.</summary>
        /// <exception cref="ArgumentException">A field breaks its rule (see <see cref="PresenceSession"/>); the exception names it. Nothing was sent.</exception>
        /// <exception cref="SidecarException">The service refused it (<see cref="SidecarErrorKind.Http"/>) or the request failed.</exception>
        /// <exception cref="ObjectDisposedException">The sidecar was disposed.</exception>
        public Task PutPresenceSessionAsync(PresenceSession session, CancellationToken cancellationToken = default)
        {
            ThrowIfDisposed();
            if (session is null)
            {
                throw new ArgumentNullException(nameof(session));
            }
            Checks.Session(session);
            return _client.StoreAsync(Protocol.PutPresenceSession, Json.Encode(session), cancellationToken);
        }

        /// <summary>Ends the service at once and waits until it has ended (at once if it already had).</summary>
        /// <exception cref="OperationCanceledException">The wait was cancelled (the service was already told to end).</exception>
        public async Task<SidecarExit> StopAsync(CancellationToken cancellationToken = default)
        {
            cancellationToken.ThrowIfCancellationRequested();
            return await Waiting.WaitAsync(_child.KillAsync(), cancellationToken).ConfigureAwait(false);
        }

        /// <summary>
        /// Ends the service (as <see cref="StopAsync"/>) and releases what the sidecar holds; later
        /// calls throw <see cref="ObjectDisposedException"/>.
        /// </summary>
        public async ValueTask DisposeAsync()
        {
            Interlocked.Exchange(ref _disposed, 1);
            await _child.KillAsync().ConfigureAwait(false);
            Dispose();
        }

        /// <summary>
        /// Ends the service, waits for it, and releases what the sidecar holds; later calls throw
        /// <see cref="ObjectDisposedException"/>.
        /// </summary>
        public void Dispose()
        {
            Interlocked.Exchange(ref _disposed, 1);
            _child.Dispose();
            _client.Dispose();
        }

        /// <summary>Names the service by its address and process id, never the token.</summary>
        public override string ToString() => $"Sidecar {{ Url = {Url}, ProcessId = {ProcessId} }}";

        private async Task CheckHealthCheckedAsync(CancellationToken cancellationToken)
        {
            Reply reply = await _client.SendAsync(Protocol.Health, null, cancellationToken).ConfigureAwait(false);
            if (reply.Status != 200 || reply.Body != Protocol.HealthBody)
            {
                throw SidecarClient.Unexpected(Protocol.Health, reply);
            }
        }

        private async Task<LoginTicket?> TakeLaunchTicketCheckedAsync(CancellationToken cancellationToken)
        {
            Reply reply = await _client.SendAsync(Protocol.TakeLaunchTicket, null, cancellationToken).ConfigureAwait(false);
            if (reply.Status == 404 && reply.Body == Protocol.FailureBody(Protocol.Errors.NoLaunchSession))
            {
                return null;
            }
            if (reply.Status != 200)
            {
                throw SidecarClient.Unexpected(Protocol.TakeLaunchTicket, reply);
            }
            // The body is a ticket's secrets, or garbage: it goes into the exception, not the message.
            return Json.DecodeTicket(reply.Body) ?? throw new SidecarException(
                SidecarErrorKind.Http, $"{Protocol.TakeLaunchTicket} answered {reply.StatusText} with a body that is not a launch ticket")
            {
                StatusCode = reply.Status,
                ResponseBody = reply.Body,
            };
        }

        private void ThrowIfDisposed()
        {
            if (Volatile.Read(ref _disposed) == 1)
            {
                throw new ObjectDisposedException(nameof(Sidecar));
            }
        }

        private static async Task<int> AwaitAnnouncementAsync(
            ServiceProcess child, bool taken, TimeSpan timeout, CancellationToken cancellationToken)
        {
            using var deadline = CancellationTokenSource.CreateLinkedTokenSource(cancellationToken);
            deadline.CancelAfter(timeout);
            try
            {
                string? line = await Waiting.WaitAsync(child.FirstLine, deadline.Token).ConfigureAwait(false);
                if (line is not null)
                {
                    return AnnouncedPort(line) ?? throw new SidecarException(
                        SidecarErrorKind.BadAnnouncement,
                        $"the service announced {Texts.Quote(Texts.Clip(child.Redact(line)))} instead of its address");
                }
                // Standard output closed without a line: the service is ending.
                SidecarExit exit = await Waiting.WaitAsync(child.Exited, deadline.Token).ConfigureAwait(false);
                // Its standard error closes with it (unless a child of its own holds the pipe).
                await Task.WhenAny(child.ErrorsRead, Task.Delay(1000, cancellationToken)).ConfigureAwait(false);
                throw Ended(child, exit, taken);
            }
            catch (OperationCanceledException e) when (cancellationToken.IsCancellationRequested)
            {
                throw new OperationCanceledException(e.Message, e, cancellationToken);
            }
            catch (OperationCanceledException)
            {
                throw new SidecarException(
                    SidecarErrorKind.AnnounceTimeout,
                    $"the service did not announce its address within {Texts.Duration(timeout)}");
            }
        }

        private static SidecarException Ended(ServiceProcess child, SidecarExit exit, bool taken)
        {
            var diagnostics = child.Diagnostics.Kept();
            string reason = diagnostics.Count > 0 ? $" ({Texts.Clip(diagnostics[0])})"
                : !taken ? " (it did not take the configuration line)"
                : "";
            return new SidecarException(
                SidecarErrorKind.Exited,
                $"the service ended with status {exit.ExitCode.ToString(CultureInfo.InvariantCulture)} before announcing its address{reason}")
            {
                ExitCode = exit.ExitCode,
                Diagnostics = diagnostics,
            };
        }

        // The port of an address line "http://127.0.0.1:PORT", or null.
        internal static int? AnnouncedPort(string line)
        {
            const string prefix = "http://127.0.0.1:";
            if (!line.StartsWith(prefix, StringComparison.Ordinal))
            {
                return null;
            }
            string digits = line.Substring(prefix.Length);
            // As the service writes it: 1 to 5 digits without a leading zero.
            if (digits.Length == 0 || digits.Length > 5 || digits[0] == '0')
            {
                return null;
            }
            int port = 0;
            foreach (char c in digits)
            {
                if (c < '0' || c > '9')
                {
                    return null;
                }
                port = (port * 10) + (c - '0');
            }
            return port is >= 1 and <= 65535 ? port : null;
        }

        private static string NewToken()
        {
            var bytes = new byte[32];
            using (var random = RandomNumberGenerator.Create())
            {
                random.GetBytes(bytes);
            }
            var hex = new StringBuilder(64);
            foreach (byte b in bytes)
            {
                hex.Append(b.ToString("x2", CultureInfo.InvariantCulture));
            }
            return hex.ToString();
        }

        private static long CurrentProcessId()
        {
#if NETSTANDARD2_0
            using var current = System.Diagnostics.Process.GetCurrentProcess();
            return current.Id;
#else
            return Environment.ProcessId;
#endif
        }
    }
}
