using System.Collections.Concurrent;

namespace Korvessa.LauncherKit.Tests;

// The Diagnostic event: never raised on the subscriber's thread or inside its += or -=, so a
// handler that marshals to a UI thread cannot deadlock it; and no handler stops the reading of
// the service's standard error.
public class DiagnosticsTests
{
    [Fact]
    public async Task SendToTheUiThreadWhileItSubscribesCannotDeadlock()
    {
        // Lines before and after the address line; one holds the token (the stand-in echoes its
        // input), which never reaches a handler.
        var standIn = Fixtures.StandIn(
            "read line; echo one >&2; printf '%s\\n' \"$line\" >&2; echo http://127.0.0.1:9; sleep 0.3; printf 'two\\r\\n' >&2; exec sleep 60");
        await using Sidecar sidecar = await Sidecar.StartAsync(Fixtures.Options(standIn.Path));
        using var ui = new UiThread();
        var lines = new List<string>();
        var threads = new ConcurrentBag<int>();
        var senders = new ConcurrentBag<object?>();
        using var inHandler = new SemaphoreSlim(0);
        var all = new TaskCompletionSource();
        // As WinForms' Control.Invoke does: run it on the UI thread, and wait until it has run.
        EventHandler<SidecarDiagnosticEventArgs> handler = (sender, e) =>
        {
            threads.Add(Environment.CurrentManagedThreadId);
            senders.Add(sender);
            inHandler.Release();
            ui.Context.Send(_ => { lines.Add(e.Line); if (e.Line == "two") all.TrySetResult(); }, null);
        };
        EventHandler<SidecarDiagnosticEventArgs> other = (_, _) => { };

        await ui.Run(() =>
        {
            sidecar.Diagnostic += handler;
            // The handler is now waiting for this thread; adding and removing a handler meanwhile
            // must not wait for it.
            Assert.True(inHandler.Wait(TimeSpan.FromSeconds(10)), "no line reached the handler");
            sidecar.Diagnostic += other;
            sidecar.Diagnostic -= other;
        }).WaitAsync(TimeSpan.FromSeconds(15));
        await all.Task.WaitAsync(TimeSpan.FromSeconds(10));

        Assert.DoesNotContain(ui.ThreadId, threads);
        Assert.All(senders, sender => Assert.Same(sidecar, sender));
        await ui.Run(() =>
        {
            Assert.Equal(3, lines.Count);
            Assert.Equal("one", lines[0]);
            Assert.DoesNotContain(Fixtures.Token, lines[1], StringComparison.Ordinal);
            Assert.Contains("<token>", lines[1], StringComparison.Ordinal);
        });
    }

    [Fact]
    public async Task BlockedAndThrowingHandlersDoNotStopTheReading()
    {
        // 3 MB of standard error, far more than a pipe holds, while one handler is blocked and one
        // throws; then, once told, the line "last" every 0.1 s (the first may come while the
        // handlers still catch up, and be dropped) until the sidecar is disposed.
        var standIn = Fixtures.StandIn(
            "read line; echo http://127.0.0.1:9; head -c 3000000 /dev/zero | tr '\\0' x | fold -w 999 >&2; : > \"$0.drained\";"
            + " while [ ! -e \"$0.go\" ]; do sleep 0.05; done; echo >&2;"
            + " while :; do echo last >&2; sleep 0.1; done");
        await using Sidecar sidecar = await Sidecar.StartAsync(Fixtures.Options(standIn.Path));
        var release = new ManualResetEventSlim();
        var last = new TaskCompletionSource();
        sidecar.Diagnostic += (_, _) => throw new InvalidOperationException("a failing handler");
        sidecar.Diagnostic += (_, e) =>
        {
            release.Wait();
            if (e.Line == "last")
            {
                last.TrySetResult();
            }
        };

        try
        {
            for (int waited = 0; !File.Exists(standIn.Path + ".drained"); waited++)
            {
                Assert.True(waited < 400, "the service's standard error was not drained");
                await Task.Delay(50);
            }
        }
        finally
        {
            release.Set();
        }
        await File.WriteAllTextAsync(standIn.Path + ".go", "");
        await last.Task.WaitAsync(TimeSpan.FromSeconds(10));
    }

    // A UI thread: one thread that runs what is posted or sent to its context, in order; Send
    // waits until it has run.
    private sealed class UiThread : IDisposable
    {
        private readonly BlockingCollection<Action> _work = new();
        private readonly Thread _thread;

        public UiThread()
        {
            Context = new UiContext(this);
            _thread = new Thread(() =>
            {
                SynchronizationContext.SetSynchronizationContext(Context);
                foreach (Action action in _work.GetConsumingEnumerable())
                {
                    action();
                }
            }) { IsBackground = true };
            _thread.Start();
        }

        public SynchronizationContext Context { get; }

        public int ThreadId => _thread.ManagedThreadId;

        public Task Run(Action action)
        {
            var done = new TaskCompletionSource(TaskCreationOptions.RunContinuationsAsynchronously);
            _work.Add(() =>
            {
                try
                {
                    action();
                    done.SetResult();
                }
                catch (Exception e)
                {
                    done.SetException(e);
                }
            });
            return done.Task;
        }

        public void Dispose() => _work.CompleteAdding();

        private sealed class UiContext(UiThread owner) : SynchronizationContext
        {
            public override void Post(SendOrPostCallback d, object? state) => owner._work.Add(() => d(state));

            public override void Send(SendOrPostCallback d, object? state)
            {
                if (Environment.CurrentManagedThreadId == owner.ThreadId)
                {
                    d(state);
                    return;
                }
                owner.Run(() => d(state)).GetAwaiter().GetResult();
            }
        }
    }
}
