// The wrapper's own log file.
using System;
using System.Globalization;
using System.IO;
using System.Text;
using System.Threading;

namespace vCloudSDKWrapper
{
    // Levels: 0 errors and warnings, 1 one line per operation, 2 one line per HTTP request,
    // 3 also the start of every response body. Credentials and tokens are never handed to it.
    //
    // Each line opens the file by its path, appends and closes it again. So no descriptor stays open for a
    // log that no wrapper object writes any more (an agent that gives every job its own log would run out
    // of descriptors), and a file that log rotation moved away is created anew at its path by the next line.
    internal sealed class WrapperLog
    {
        // Lines of wrapper objects that log to the same file are written one at a time, so none overwrites
        // or splits another. A fixed set of locks, chosen by path, serves any number of paths.
        private static readonly object[] gates = MakeGates(64);
        private readonly object gate;
        private readonly string full;
        public readonly int Level;
        public readonly string Path;

        public static readonly WrapperLog None = new WrapperLog();

        private static readonly UTF8Encoding utf8 = new UTF8Encoding(false);

        private static object[] MakeGates(int n)
        {
            var all = new object[n];
            for (int i = 0; i < n; i++) all[i] = new object();
            return all;
        }

        private WrapperLog() { Path = ""; }

        // Opens the file once, so that a path that cannot be written fails Initialize.
        public WrapperLog(string path, ulong level)
        {
            Path = path ?? "";
            Level = level > 9 ? 9 : (int)level;
            if (Path.Length == 0) return;
            full = System.IO.Path.GetFullPath(Path);
            gate = gates[(StringComparer.Ordinal.GetHashCode(full) & 0x7fffffff) % gates.Length];
            lock (gate)
            {
                using (Open()) { }
            }
        }

        private FileStream Open()
        {
            return new FileStream(full, FileMode.Append, FileAccess.Write, FileShare.ReadWrite | FileShare.Delete);
        }

        public bool Enabled(int level) { return full != null && level <= Level; }

        public void Error(string message) { Write("ERROR", message); }

        // A warning that must be seen: to the log file, or to standard error when there is none.
        public void Loud(string message)
        {
            if (full != null) Write("WARN", message);
            else
            {
                try { Console.Error.WriteLine("vCloudSDKWrapper WARNING: " + message); } catch (Exception) { }
            }
        }

        public void Info(int level, string message)
        {
            if (Enabled(level)) Write("L" + level, message);
        }

        private void Write(string tag, string message)
        {
            if (full == null) return;
            string line = DateTime.Now.ToString("yyyy-MM-dd HH:mm:ss.fff", CultureInfo.InvariantCulture) + " ["
                + Thread.CurrentThread.ManagedThreadId + "] " + tag + " " + message + "\n";
            byte[] bytes = utf8.GetBytes(line);
            lock (gate)
            {
                try
                {
                    using (var stream = Open()) stream.Write(bytes, 0, bytes.Length);
                }
                catch (Exception) { }
            }
        }
    }
}
