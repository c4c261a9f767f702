using System;
using System.IO;
using System.Text;
using System.Threading.Tasks;

namespace Korvessa.LauncherKit
{
    // Reads a pipe to its end (or until it fails) and hands on each line without its line feed
    // (or a carriage return before it). A line longer than the cap is handed on in pieces of the
    // cap, so no peer can make the kit hold an unbounded line.
    internal static class LineReader
    {
        private static readonly Encoding Utf8 = new UTF8Encoding(false, false);

        public static async Task ReadAsync(Stream stream, int maxLineBytes, Action<string> onLine)
        {
            var buffer = new byte[4096];
            var line = new MemoryStream();
            while (true)
            {
                int count;
                try
                {
                    count = await stream.ReadAsync(buffer, 0, buffer.Length).ConfigureAwait(false);
                }
                catch (Exception e) when (e is IOException || e is ObjectDisposedException)
                {
                    // The pipe broke, or the sidecar was disposed: the end, as far as anyone cares.
                    count = 0;
                }
                if (count == 0)
                {
                    break;
                }
                int start = 0;
                for (int i = 0; i < count; i++)
                {
                    if (buffer[i] == (byte)'\n')
                    {
                        Append(line, buffer, start, i - start, maxLineBytes, onLine);
                        Emit(line, onLine);
                        start = i + 1;
                    }
                }
                Append(line, buffer, start, count - start, maxLineBytes, onLine);
            }
            if (line.Length > 0)
            {
                Emit(line, onLine);
            }
        }

        private static void Append(MemoryStream line, byte[] bytes, int offset, int count, int cap, Action<string> onLine)
        {
            while (count > 0)
            {
                if (line.Length == cap)
                {
                    Emit(line, onLine);
                }
                int take = Math.Min(count, cap - (int)line.Length);
                line.Write(bytes, offset, take);
                offset += take;
                count -= take;
            }
        }

        private static void Emit(MemoryStream line, Action<string> onLine)
        {
            int length = (int)line.Length;
            byte[] bytes = line.GetBuffer();
            if (length > 0 && bytes[length - 1] == (byte)'\r')
            {
                length--;
            }
            string text = Utf8.GetString(bytes, 0, length);
            line.SetLength(0);
            onLine(text);
        }
    }
}
