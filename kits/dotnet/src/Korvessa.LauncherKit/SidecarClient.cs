using System;
using System.Net.Http;
using System.Net.Http.Headers;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Korvessa.LauncherKit
{
    internal sealed class Reply
    {
        public Reply(int status, string statusText, string body)
        {
            Status = status;
            StatusText = statusText;
            Body = body;
        }

        public int Status { get; }

        // "204 No Content": the code and the reason phrase.
        public string StatusText { get; }

        public string Body { get; }
    }

    // The sidecar's requests: one HttpClient that never goes through a proxy (.NET no longer
    // bypasses one for loopback), one request per connection as the service closes each after its
    // reply, the token in its header, a time-out per request.
    internal sealed class SidecarClient : IDisposable
    {
        private readonly HttpClient _http;
        private readonly Uri _url;
        private readonly string _token;
        private readonly Task<SidecarExit> _exited;
        private long _requestTimeoutTicks;

        public SidecarClient(Uri url, string token, Task<SidecarExit> exited, TimeSpan requestTimeout)
        {
            _url = url;
            _token = token;
            _exited = exited;
            _requestTimeoutTicks = requestTimeout.Ticks;
#if NETSTANDARD2_0
            var handler = new HttpClientHandler { UseProxy = false, AllowAutoRedirect = false, UseCookies = false };
#else
            var handler = new SocketsHttpHandler { UseProxy = false, AllowAutoRedirect = false, UseCookies = false };
#endif
            _http = new HttpClient(handler) { Timeout = System.Threading.Timeout.InfiniteTimeSpan };
        }

        public TimeSpan RequestTimeout
        {
            get => TimeSpan.FromTicks(Interlocked.Read(ref _requestTimeoutTicks));
            set => Interlocked.Exchange(ref _requestTimeoutTicks, value.Ticks);
        }

        public async Task StoreAsync(Route route, byte[] body, CancellationToken cancellationToken)
        {
            Reply reply = await SendAsync(route, body, cancellationToken).ConfigureAwait(false);
            if (reply.Status != 204)
            {
                throw Unexpected(route, reply);
            }
        }

        public async Task<Reply> SendAsync(Route route, byte[]? body, CancellationToken cancellationToken)
        {
            string what = route.ToString();
            cancellationToken.ThrowIfCancellationRequested();
            ThrowIfEnded(what);
            TimeSpan timeout = RequestTimeout;
            using var request = new HttpRequestMessage(new HttpMethod(route.Method), new Uri(_url, route.Path));
            request.Headers.TryAddWithoutValidation(Protocol.TokenHeader, _token);
            // .NET Framework would otherwise wait for a "100 Continue" that the service never sends.
            request.Headers.ExpectContinue = false;
            request.Headers.ConnectionClose = true;
            if (body is not null)
            {
                request.Content = new ByteArrayContent(body);
                request.Content.Headers.ContentType = new MediaTypeHeaderValue("application/json");
            }
            using var deadline = CancellationTokenSource.CreateLinkedTokenSource(cancellationToken);
            deadline.CancelAfter(timeout);
            try
            {
                using HttpResponseMessage response = await _http.SendAsync(request, HttpCompletionOption.ResponseContentRead, deadline.Token)
                    .ConfigureAwait(false);
                byte[] bytes = await response.Content.ReadAsByteArrayAsync().ConfigureAwait(false);
                int status = (int)response.StatusCode;
                string statusText = (status.ToString(System.Globalization.CultureInfo.InvariantCulture) + " " + response.ReasonPhrase).TrimEnd();
                return new Reply(status, statusText, Encoding.UTF8.GetString(bytes));
            }
            catch (OperationCanceledException e) when (cancellationToken.IsCancellationRequested)
            {
                throw new OperationCanceledException(e.Message, e, cancellationToken);
            }
            catch (OperationCanceledException e)
            {
                throw new SidecarException(
                    SidecarErrorKind.Connection, $"{what} could not be completed: no complete reply within {Texts.Duration(timeout)}", e);
            }
            catch (HttpRequestException e)
            {
                ThrowIfEnded(what);
                throw new SidecarException(SidecarErrorKind.Connection, $"{what} could not be completed: {Reason(e)}", e);
            }
        }

        public void Dispose() => _http.Dispose();

        internal static SidecarException Unexpected(Route route, Reply reply)
        {
            string body = reply.Body.Length == 0 ? "" : " " + Texts.Clip(reply.Body);
            return new SidecarException(SidecarErrorKind.Http, $"{route} answered {reply.StatusText}{body}")
            {
                StatusCode = reply.Status,
                ResponseBody = reply.Body,
            };
        }

        // A call after the service has ended fails at once and says so.
        private void ThrowIfEnded(string what)
        {
            if (!_exited.IsCompleted)
            {
                return;
            }
            throw new SidecarException(SidecarErrorKind.Connection, $"{what} could not be made: the service has ended ({How(_exited.Result)})");
        }

        // How the service ended, saying no more than the kit knows: whether this kit stopped it,
        // and the status .NET reports, which on POSIX is 128 plus the signal for a signal's end.
        private static string How(SidecarExit exit)
        {
            if (exit.Killed)
            {
                return "it was stopped by this sidecar";
            }
            int code = exit.ExitCode;
            string status = "it ended with status " + code.ToString(System.Globalization.CultureInfo.InvariantCulture)
                + ", not stopped by this sidecar";
            if (code == 0)
            {
                return status + "; the service ends so when its launcher process is gone";
            }
            if (code > 128 && code < 192 && !System.Runtime.InteropServices.RuntimeInformation.IsOSPlatform(System.Runtime.InteropServices.OSPlatform.Windows))
            {
                return status + "; a process ended by signal "
                    + (code - 128).ToString(System.Globalization.CultureInfo.InvariantCulture) + " reports that status too";
            }
            return status;
        }

        // The innermost reason: HttpClient's own message says little ("An error occurred while sending the request").
        private static string Reason(Exception error)
        {
            Exception inner = error;
            while (inner.InnerException is not null)
            {
                inner = inner.InnerException;
            }
            return inner == error ? error.Message : $"{error.Message} ({inner.Message})";
        }
    }
}
