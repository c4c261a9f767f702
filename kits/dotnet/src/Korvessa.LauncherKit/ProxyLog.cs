using System;
using System.IO;

namespace Korvessa.LauncherKit
{
    /// <summary>The game's authentication proxy log, which the service follows for presence.</summary>
    public static class ProxyLog
    {
        /// <summary>The log's file name inside the game client directory.</summary>
        public const string FileName = Protocol.ProxyLogFileName;

        /// <summary>
        /// The log's size in bytes, 0 when there is none: taken just before the game starts, it is the
        /// <see cref="PresenceSession.LogOffset"/> that skips the lines of earlier sessions.
        /// </summary>
        public static long Offset(string clientDirectory)
        {
            if (clientDirectory is null)
            {
                throw new ArgumentNullException(nameof(clientDirectory));
            }
            var log = new FileInfo(Path.Combine(clientDirectory, FileName));
            return log.Exists ? log.Length : 0;
        }
    }
}
