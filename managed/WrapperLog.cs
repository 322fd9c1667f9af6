// The wrapper's own log file and the failure type that carries a text for getLastErrorString.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.IO;
using System.Text;
using System.Threading;

namespace vCloudSDKWrapper
{
    // Levels: 0 errors and warnings, 1 one line per operation, 2 one line per HTTP request,
    // 3 also the start of every response body. Credentials and tokens are never handed to it.
    internal sealed class WrapperLog
    {
        // One writer per file for the whole process: wrapper objects that log to the same file share it,
        // so their lines never overwrite each other (a second append stream would write at its own offset).
        private sealed class Sink
        {
            public readonly object Gate = new object();
            public StreamWriter Writer;
        }

        private static readonly Dictionary<string, Sink> sinks = new Dictionary<string, Sink>(StringComparer.Ordinal);
        private readonly Sink sink;
        public readonly int Level;
        public readonly string Path;

        public static readonly WrapperLog None = new WrapperLog();

        private WrapperLog() { Path = ""; }

        public WrapperLog(string path, ulong level)
        {
            Path = path ?? "";
            Level = level > 9 ? 9 : (int)level;
            if (Path.Length == 0) return;
            string full = System.IO.Path.GetFullPath(Path);
            lock (sinks)
            {
                if (!sinks.TryGetValue(full, out sink))
                {
                    var stream = new FileStream(full, FileMode.Append, FileAccess.Write, FileShare.ReadWrite | FileShare.Delete);
                    sink = new Sink { Writer = new StreamWriter(stream, new UTF8Encoding(false)) { AutoFlush = true } };
                    sinks[full] = sink;
                }
            }
        }

        public bool Enabled(int level) { return sink != null && level <= Level; }

        public void Error(string message) { Write("ERROR", message); }

        // A warning that must be seen: to the log file, or to standard error when there is none.
        public void Loud(string message)
        {
            if (sink != null) Write("WARN", message);
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
            if (sink == null) return;
            string line = DateTime.Now.ToString("yyyy-MM-dd HH:mm:ss.fff", CultureInfo.InvariantCulture) + " ["
                + Thread.CurrentThread.ManagedThreadId + "] " + tag + " " + message;
            lock (sink.Gate)
            {
                try { sink.Writer.WriteLine(line); } catch (Exception) { }
            }
        }
    }

    // A failure the wrapper can describe. Status is the HTTP status (0 for a local cause).
    internal sealed class CloudException : Exception
    {
        public readonly int Status;
        public readonly string MinorCode;

        public CloudException(string message) : base(message) { MinorCode = ""; }

        public CloudException(string message, int status, string minorCode) : base(message)
        {
            Status = status;
            MinorCode = minorCode ?? "";
        }

        public bool IsNotFound { get { return Status == 403 || Status == 404; } }

        public bool IsBusy
        {
            get
            {
                if (MinorCode == "BUSY_ENTITY") return true;
                return (Status == 400 || Status == 409) && Message.IndexOf("busy", StringComparison.OrdinalIgnoreCase) >= 0;
            }
        }
    }
}
