using System;
using System.IO;
using System.Runtime.InteropServices;

namespace Korvessa.LauncherKit
{
    // Where the package put the service in the app's output: beside the app (the package's build
    // targets copy it there), or under runtimes/<rid>/native/ (where NuGet puts native assets of
    // a build without a runtime identifier).
    internal static class ServiceLocator
    {
        internal static string FileName =>
            RuntimeInformation.IsOSPlatform(OSPlatform.Windows) ? "korvessa-client-services.exe" : "korvessa-client-services";

        // The package carries an x64 service for each system; Windows on Arm runs it emulated.
        internal static string RuntimeIdentifier =>
            RuntimeInformation.IsOSPlatform(OSPlatform.Windows) ? "win-x64"
            : RuntimeInformation.IsOSPlatform(OSPlatform.Linux) && RuntimeInformation.OSArchitecture == Architecture.X64 ? "linux-x64"
            : "";

        public static string Find()
        {
            string appDirectory = AppContext.BaseDirectory;
            string beside = Path.Combine(appDirectory, FileName);
            if (File.Exists(beside))
            {
                return beside;
            }
            if (RuntimeIdentifier.Length > 0)
            {
                string native = Path.Combine(appDirectory, "runtimes", RuntimeIdentifier, "native", FileName);
                if (File.Exists(native))
                {
                    return native;
                }
            }
            string where = RuntimeIdentifier.Length > 0
                ? $"beside the app ({beside}) nor under runtimes{Path.DirectorySeparatorChar}{RuntimeIdentifier}{Path.DirectorySeparatorChar}native there"
                : $"beside the app ({beside}), and the package carries none for this system";
            throw new SidecarException(
                SidecarErrorKind.Spawn,
                $"no service {FileName} was found {where}; reference the package Korvessa.LauncherKit from the app's project, or set SidecarOptions.ServicePath");
        }
    }
}
