using System;
using System.Collections.Generic;

namespace Korvessa.LauncherKit
{
    /// <summary>
    /// The one failure of the kit: starting the service or calling one of its routes went wrong, and
    /// <see cref="Kind"/> says how. No message or property ever holds the access token.
    /// </summary>
    public class SidecarException : Exception
    {
        private static readonly IReadOnlyList<string> NoLines = Array.Empty<string>();

        /// <summary>A failure of the given kind.</summary>
        public SidecarException(SidecarErrorKind kind, string message)
            : this(kind, message, null)
        {
        }

        /// <summary>A failure of the given kind with the failure that caused it.</summary>
        public SidecarException(SidecarErrorKind kind, string message, Exception? innerException)
            : base(message, innerException)
        {
            Kind = kind;
            Diagnostics = NoLines;
        }

        /// <summary>What went wrong.</summary>
        public SidecarErrorKind Kind { get; }

        /// <summary>The service's exit status (<see cref="SidecarErrorKind.Exited"/>), else null.</summary>
        public int? ExitCode { get; internal set; }

        /// <summary>
        /// The lines the service wrote to standard error before it ended (<see cref="SidecarErrorKind.Exited"/>),
        /// at most 100; empty for the other kinds.
        /// </summary>
        public IReadOnlyList<string> Diagnostics { get; internal set; }

        /// <summary>The HTTP status of the reply (<see cref="SidecarErrorKind.Http"/>), else null.</summary>
        public int? StatusCode { get; internal set; }

        /// <summary>The body of the reply (<see cref="SidecarErrorKind.Http"/>), else null.</summary>
        public string? ResponseBody { get; internal set; }
    }
}
