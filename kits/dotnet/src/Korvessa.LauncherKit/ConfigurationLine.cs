using System;
using System.Diagnostics;
using System.Text;

namespace Korvessa.LauncherKit
{
    // The configuration line and the start of the process that reads it. The line is UTF-8 without
    // a byte-order mark: the service refuses a line that begins with one.
    internal static class ConfigurationLine
    {
        public static byte[] Encode(string token, string clientDirectory)
        {
            byte[] json = Json.Write(writer =>
            {
                writer.WriteString(Protocol.Members.Token, token);
                writer.WriteString(Protocol.Members.ClientDir, clientDirectory);
            });
            var line = new byte[json.Length + 1];
            json.CopyTo(line, 0);
            line[json.Length] = (byte)'\n';
            return line;
        }

#if NETSTANDARD2_0
        private static readonly object ConsoleEncodingGate = new object();

        // .NET Framework's Process.Start wraps the child's standard input in a writer of
        // Console.InputEncoding and flushes it at once, which writes that encoding's byte-order
        // mark (a UTF-8 console's has one) before the caller writes a byte; it has no
        // StandardInputEncoding to choose another. So for the moment of the start the console's
        // input encoding is swapped for the same encoding without the mark, and then put back.
        // The console's code page stays the same. Elsewhere (.NET) the swap changes nothing.
        public static void Start(Process process)
        {
            lock (ConsoleEncodingGate)
            {
                Encoding? original = null;
                try
                {
                    Encoding current = Console.InputEncoding;
                    Encoding? plain = current.GetPreamble().Length > 0 ? WithoutPreamble(current.CodePage) : null;
                    if (plain is not null)
                    {
                        Console.InputEncoding = plain;
                        original = current;
                    }
                }
#pragma warning disable CA1031 // Without a console there is no mark to avoid; the start goes on.
                catch (Exception)
#pragma warning restore CA1031
                {
                    original = null;
                }
                try
                {
                    process.Start();
                }
                finally
                {
                    if (original is not null)
                    {
                        try
                        {
                            Console.InputEncoding = original;
                        }
#pragma warning disable CA1031 // The encoding was set a moment ago; failing to restore it changes nothing here.
                        catch (Exception)
#pragma warning restore CA1031
                        {
                        }
                    }
                }
            }
        }

        private static Encoding? WithoutPreamble(int codePage) => codePage switch
        {
            65001 => new UTF8Encoding(false),
            1200 => new UnicodeEncoding(false, false),
            1201 => new UnicodeEncoding(true, false),
            12000 => new UTF32Encoding(false, false),
            12001 => new UTF32Encoding(true, false),
            _ => null,
        };
#else
        public static void Start(Process process)
        {
            process.StartInfo.StandardInputEncoding = new UTF8Encoding(false);
            process.Start();
        }
#endif
    }
}
