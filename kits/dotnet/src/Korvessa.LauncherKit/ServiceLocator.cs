using System;
using System.Collections.Generic;
using System.IO;
using System.Runtime.InteropServices;

namespace Korvessa.LauncherKit
{
    // Where the package put the service in the app's output: beside the app (the package's build
    // targets copy it there), under runtimes/<rid>/native/ (where NuGet puts native assets of a
    // build without a runtime identifier), or beside the app's executable (a single-file app that
    // extracts its content runs from another folder; the build targets keep the service out of
    // the bundle, beside the executable).
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
            var places = new List<string>();
            string appDirectory = AppContext.BaseDirectory;
            places.Add(Path.Combine(appDirectory, FileName));
            if (RuntimeIdentifier.Length > 0)
            {
                places.Add(Path.Combine(appDirectory, "runtimes", RuntimeIdentifier, "native", FileName));
            }
#if !NETSTANDARD2_0
            string? executable = Environment.ProcessPath;
            string? executableDirectory = executable is null ? null : Path.GetDirectoryName(executable);
            if (executableDirectory is not null)
            {
                string beside = Path.Combine(executableDirectory, FileName);
                if (!places.Contains(beside))
                {
                    places.Add(beside);
                }
            }
#endif
            foreach (string place in places)
            {
                if (File.Exists(place))
                {
                    return place;
                }
            }
            string none = RuntimeIdentifier.Length > 0 ? "" : " (the package carries none for this system)";
            throw new SidecarException(
                SidecarErrorKind.Spawn,
                $"no service {FileName} was found{none}; looked at {string.Join(", ", places)}; reference the package Korvessa.LauncherKit from the app's project, or set SidecarOptions.ServicePath");
        }
    }
}
