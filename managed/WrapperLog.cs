// The wrapper's own log file and the failure type that carries a text for getLastErrorString.
using System;
using System.Globalization;
using System.IO;
using System.Text;
using System.Threading;

namespace vCloudSDKWrapper
{
    // Levels: 0 errors and warnings, 1 one line per operation, 2 one line per HTTP request,
    // 3 also the start of every response body. Credentials and tokens are never handed to it.
    internal sealed class WrapperLog : IDisposable
    {
        private readonly object gate = new object();
        private readonly StreamWriter writer;
        public readonly int Level;
        public readonly string Path;

        public static readonly WrapperLog None = new WrapperLog();

        private WrapperLog() { Path = ""; }

        public WrapperLog(string path, ulong level)
        {
            Path = path ?? "";
            Level = level > 9 ? 9 : (int)level;
            if (Path.Length > 0)
            {
                var stream = new FileStream(Path, FileMode.Append, FileAccess.Write, FileShare.ReadWrite | FileShare.Delete);
                writer = new StreamWriter(stream, new UTF8Encoding(false)) { AutoFlush = true };
            }
        }

        public bool Enabled(int level) { return writer != null && level <= Level; }

        public void Error(string message) { Write("ERROR", message); }

        // A warning that must be seen: to the log file, or to standard error when there is none.
        public void Loud(string message)
        {
            if (writer != null) Write("WARN", message);
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
            if (writer == null) return;
            string line = DateTime.Now.ToString("yyyy-MM-dd HH:mm:ss.fff", CultureInfo.InvariantCulture) + " ["
                + Thread.CurrentThread.ManagedThreadId + "] " + tag + " " + message;
            lock (gate)
            {
                try { writer.WriteLine(line); } catch (Exception) { }
            }
        }

        public void Dispose()
        {
            lock (gate)
            {
                try { if (writer != null) writer.Dispose(); } catch (Exception) { }
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
