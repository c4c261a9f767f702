using System;
using System.Collections.Generic;

namespace Korvessa.LauncherKit
{
    // The service's standard error, line by line, for the Diagnostic event. Lines that arrive while
    // nobody listens are kept (the first 100), and handed to the first handler when it is added,
    // before any later line: the event is raised under one lock, so lines keep their order.
    internal sealed class DiagnosticLines
    {
        internal const int MaxKept = 100;

        private readonly object _gate = new object();
        private readonly List<string> _kept = new List<string>();
        private EventHandler<SidecarDiagnosticEventArgs>? _handlers;

        public object? Sender { get; set; }

        public void Add(EventHandler<SidecarDiagnosticEventArgs>? handler)
        {
            if (handler is null)
            {
                return;
            }
            lock (_gate)
            {
                bool first = _handlers is null;
                _handlers += handler;
                if (first)
                {
                    foreach (string line in _kept)
                    {
                        Raise(handler, line);
                    }
                    _kept.Clear();
                }
            }
        }

        public void Remove(EventHandler<SidecarDiagnosticEventArgs>? handler)
        {
            lock (_gate)
            {
                _handlers -= handler;
            }
        }

        public void Deliver(string line)
        {
            lock (_gate)
            {
                if (_handlers is null)
                {
                    if (_kept.Count < MaxKept)
                    {
                        _kept.Add(line);
                    }
                    return;
                }
                Raise(_handlers, line);
            }
        }

        // The lines kept so far, for the error of a failed start.
        public IReadOnlyList<string> Kept()
        {
            lock (_gate)
            {
                return _kept.ToArray();
            }
        }

        private void Raise(EventHandler<SidecarDiagnosticEventArgs> handlers, string line)
        {
            var args = new SidecarDiagnosticEventArgs(line);
            foreach (EventHandler<SidecarDiagnosticEventArgs> handler in handlers.GetInvocationList())
            {
                try
                {
                    handler(Sender, args);
                }
#pragma warning disable CA1031 // A failing handler must not stop the reading of standard error, or the service blocks.
                catch (Exception)
#pragma warning restore CA1031
                {
                }
            }
        }
    }
}
