using System;
using System.Collections.Generic;
using System.ComponentModel;
using System.Diagnostics;
using System.Globalization;
using System.IO;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Korvessa.LauncherKit
{
    // The service as a child process: started with no window and no shell, its standard error read
    // from the start (a full pipe would block it), its standard output read for the address line,
    // its end noticed. Kill() ends it at once.
    internal sealed class ServiceProcess : IDisposable
    {
        // The address line is about 30 bytes; anything much longer is not one.
        private const int MaxAnnouncementBytes = 1024;
        private const int MaxDiagnosticBytes = 64 * 1024;

        private readonly Process _process;
        private readonly TaskCompletionSource<SidecarExit> _exited =
            new TaskCompletionSource<SidecarExit>(TaskCreationOptions.RunContinuationsAsynchronously);
        private readonly TaskCompletionSource<string?> _firstLine =
            new TaskCompletionSource<string?>(TaskCreationOptions.RunContinuationsAsynchronously);
        private readonly string _token;
        private int _killed;

        private ServiceProcess(Process process, string token)
        {
            _process = process;
            _token = token;
        }

        public int Id { get; private set; }

        public DiagnosticLines Diagnostics { get; } = new DiagnosticLines();

        public Task<SidecarExit> Exited => _exited.Task;

        // The first line on standard output, or null when it closed without one.
        public Task<string?> FirstLine => _firstLine.Task;

        // Standard error's reading; done when the pipe has closed.
        public Task ErrorsRead { get; private set; } = Task.CompletedTask;

        public static ServiceProcess Start(string path, long launcherProcessId, IDictionary<string, string?> environment, string token)
        {
            var info = new ProcessStartInfo(path)
            {
                UseShellExecute = false,
                CreateNoWindow = true,
                RedirectStandardInput = true,
                RedirectStandardOutput = true,
                RedirectStandardError = true,
                Arguments = "--launcher-pid " + launcherProcessId.ToString(CultureInfo.InvariantCulture),
            };
            foreach (KeyValuePair<string, string?> variable in environment)
            {
                if (variable.Value is null)
                {
                    info.Environment.Remove(variable.Key);
                }
                else
                {
                    info.Environment[variable.Key] = variable.Value;
                }
            }
            var process = new Process { StartInfo = info, EnableRaisingEvents = true };
            var child = new ServiceProcess(process, token);
            process.Exited += (_, _) => child.OnExited();
            try
            {
                ConfigurationLine.Start(process);
            }
            catch (Win32Exception e)
            {
                process.Dispose();
                throw SpawnFailure(path, e);
            }
            child.Id = process.Id;
            child.ErrorsRead = Task.Run(() => LineReader.ReadAsync(
                process.StandardError.BaseStream, MaxDiagnosticBytes, line => child.Diagnostics.Deliver(child.Redact(line))));
            _ = Task.Run(async () =>
            {
                try
                {
                    await LineReader.ReadAsync(process.StandardOutput.BaseStream, MaxAnnouncementBytes, line => child._firstLine.TrySetResult(line))
                        .ConfigureAwait(false);
                }
                finally
                {
                    child._firstLine.TrySetResult(null);
                }
            });
            return child;
        }

        // Writes the configuration line and closes standard input; false when the service had
        // already ended or closed it (its exit status then says why).
        public async Task<bool> WriteConfigurationAsync(byte[] line, CancellationToken cancellationToken)
        {
            Stream input = _process.StandardInput.BaseStream;
            try
            {
                await input.WriteAsync(line, 0, line.Length, cancellationToken).ConfigureAwait(false);
                await input.FlushAsync(cancellationToken).ConfigureAwait(false);
                return true;
            }
            catch (IOException)
            {
                return false;
            }
            finally
            {
                try
                {
                    input.Dispose();
                }
                catch (IOException)
                {
                }
            }
        }

        // The text without the token, and not too long to read in a message.
        public string Redact(string text) => Texts.Redact(text, _token);

        // Ends the service at once (if it still runs) and waits until it has ended.
        public Task<SidecarExit> KillAsync()
        {
            Kill();
            return Exited;
        }

        public void Kill()
        {
            if (_exited.Task.IsCompleted)
            {
                return;
            }
            Interlocked.Exchange(ref _killed, 1);
            try
            {
                _process.Kill();
            }
            catch (InvalidOperationException)
            {
                // It has ended meanwhile.
            }
            catch (Win32Exception)
            {
                // It is ending: Windows refuses to terminate a process that is exiting.
            }
        }

        public void Dispose()
        {
            Kill();
            if (!_exited.Task.IsCompleted)
            {
                _process.WaitForExit();
                OnExited();
            }
            _process.Dispose();
        }

        private void OnExited()
        {
            int code;
            try
            {
                code = _process.ExitCode;
            }
            catch (InvalidOperationException)
            {
                code = -1;
            }
            _exited.TrySetResult(new SidecarExit(code, Volatile.Read(ref _killed) == 1));
        }

        private static SidecarException SpawnFailure(string path, Win32Exception error)
        {
            string reason = Directory.Exists(path) ? "it is a directory"
                : !File.Exists(path) ? "the file does not exist"
                : $"it cannot be run ({error.Message})";
            return new SidecarException(SidecarErrorKind.Spawn, $"the service \"{path}\" could not be started: {reason}", error);
        }
    }

    internal static class Texts
    {
        // Lines of the service's (or a stand-in's) that reach a message, an exception or the
        // Diagnostic event: a program that echoes its input would otherwise put the token there.
        public static string Redact(string text, string token) =>
            token.Length == 0 ? text : text.Replace(token, "<token>");

        public static string Clip(string text) => text.Length > 200 ? text.Substring(0, 200) + "..." : text;

        public static string Quote(string text)
        {
            var quoted = new StringBuilder("\"");
            foreach (char c in text)
            {
                if (c == '"' || c == '\\')
                {
                    quoted.Append('\\').Append(c);
                }
                else if (c < ' ')
                {
                    quoted.Append("\\u").Append(((int)c).ToString("x4", CultureInfo.InvariantCulture));
                }
                else
                {
                    quoted.Append(c);
                }
            }
            return quoted.Append('"').ToString();
        }

        public static string Duration(TimeSpan span) =>
            span.TotalMilliseconds % 1000 == 0
                ? ((long)span.TotalSeconds).ToString(CultureInfo.InvariantCulture) + " s"
                : ((long)span.TotalMilliseconds).ToString(CultureInfo.InvariantCulture) + " ms";
    }
}
