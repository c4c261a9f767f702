using System;
using System.Collections.Generic;
using System.Threading;

namespace Korvessa.LauncherKit
{
    // The service's standard error, line by line, for the Diagnostic event.
    //
    // The reader of standard error only queues a line and returns, so nothing a handler does can
    // stop it draining the pipe. One delivery at a time runs on a thread-pool thread, never under
    // the lock and never inside += or -= (which only queue it): a handler that marshals to a UI
    // thread with a blocking Send while that thread adds or removes a handler cannot deadlock.
    // Lines reach the handlers in the order the service wrote them.
    //
    // While no handler is there, the last 100 lines are kept (for the error of a failed start, and
    // for the next handler, which gets them first). While handlers are there but behind (one is
    // blocked), at most 1000 lines or 1 Mi characters wait; later lines are dropped until they
    // catch up, so a blocked handler costs lines, never memory without bound or the service's pipe.
    internal sealed class DiagnosticLines
    {
        internal const int MaxKept = 100;
        internal const int MaxWaiting = 1000;
        internal const int MaxWaitingChars = 1 << 20;

        private readonly object _gate = new object();
        private readonly Queue<string> _lines = new Queue<string>();
        private long _chars;
        private EventHandler<SidecarDiagnosticEventArgs>? _handlers;
        private bool _delivering;

        public object? Sender { get; set; }

        public void Add(EventHandler<SidecarDiagnosticEventArgs>? handler)
        {
            lock (_gate)
            {
                _handlers += handler;
                StartDeliveryLocked();
            }
        }

        public void Remove(EventHandler<SidecarDiagnosticEventArgs>? handler)
        {
            lock (_gate)
            {
                _handlers -= handler;
            }
        }

        // Called by the reader of standard error; never blocks on a handler.
        public void Deliver(string line)
        {
            lock (_gate)
            {
                if (_handlers is null)
                {
                    Enqueue(line);
                    while (_lines.Count > MaxKept)
                    {
                        _chars -= _lines.Dequeue().Length;
                    }
                    return;
                }
                if (_lines.Count < MaxWaiting && _chars + line.Length <= MaxWaitingChars)
                {
                    Enqueue(line);
                    StartDeliveryLocked();
                }
            }
        }

        // The lines kept so far, for the error of a failed start (no handler can be there yet).
        public IReadOnlyList<string> Kept()
        {
            lock (_gate)
            {
                return _lines.ToArray();
            }
        }

        private void Enqueue(string line)
        {
            _lines.Enqueue(line);
            _chars += line.Length;
        }

        private void StartDeliveryLocked()
        {
            if (_delivering || _handlers is null || _lines.Count == 0)
            {
                return;
            }
            _delivering = true;
            // Not Task.Run: the subscriber's execution context (and so its AsyncLocal values) stays
            // its own.
            ThreadPool.UnsafeQueueUserWorkItem(_ => DeliverWaiting(), null);
        }

        // Raises the waiting lines one by one until none waits or no handler is left (then the
        // rest stay, as kept lines, for the next handler).
        private void DeliverWaiting()
        {
            while (true)
            {
                string line;
                EventHandler<SidecarDiagnosticEventArgs> handlers;
                lock (_gate)
                {
                    if (_handlers is null || _lines.Count == 0)
                    {
                        _delivering = false;
                        return;
                    }
                    line = _lines.Dequeue();
                    _chars -= line.Length;
                    handlers = _handlers;
                }
                var args = new SidecarDiagnosticEventArgs(line);
                foreach (EventHandler<SidecarDiagnosticEventArgs> handler in handlers.GetInvocationList())
                {
                    try
                    {
                        handler(Sender, args);
                    }
#pragma warning disable CA1031 // A thread of the kit's: a handler's failure must end neither it nor the process.
                    catch (Exception)
#pragma warning restore CA1031
                    {
                    }
                }
            }
        }
    }
}
