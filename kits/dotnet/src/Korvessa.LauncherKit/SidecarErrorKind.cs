namespace Korvessa.LauncherKit
{
    /// <summary>What went wrong, for a <see cref="SidecarException"/>.</summary>
    public enum SidecarErrorKind
    {
        /// <summary>The service's executable could not be started (missing, a directory, not runnable).</summary>
        Spawn,

        /// <summary>The service ended before it announced its address; see <see cref="SidecarException.ExitCode"/>.</summary>
        Exited,

        /// <summary>The service announced no address within <see cref="SidecarOptions.AnnounceTimeout"/>.</summary>
        AnnounceTimeout,

        /// <summary>The first line on the service's standard output was not an address line.</summary>
        BadAnnouncement,

        /// <summary>The service answered other than the route promises; see <see cref="SidecarException.StatusCode"/>.</summary>
        Http,

        /// <summary>The request could not be made or its reply not read, or the service has ended.</summary>
        Connection,
    }
}
