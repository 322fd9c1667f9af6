// The wrapper object that native callers drive: settings, login and logout, the per-thread last error,
// and the guard that turns every failure into a false or null result with a text.
using System;
using System.Diagnostics;
using System.IO;
using System.Reflection;
using System.Threading;

namespace vCloudSDKWrapper
{
    public partial class vCloudWrapper
    {
        // Settings, log and HTTP client travel together; Initialize swaps them as one object.
        private sealed class Config
        {
            public WrapperOptions Opt;
            public WrapperLog Log;
            public RestClient Http;
        }

        private volatile Config config;
        private volatile Session session;
        private volatile NameCache names;   // names resolved in this session; always of 'session'
        private readonly object loginGate = new object();
        private readonly ThreadLocal<string> lastError = new ThreadLocal<string>(() => "");
        private readonly string configError = "";

        internal const ulong IncludePublicTemplates = 0x4000000000000000UL;

        public vCloudWrapper()
        {
            var opt = new WrapperOptions();
            try { opt.ApplyConfigFile(ConfigPath()); }
            catch (Exception e) { configError = e.Message; opt = new WrapperOptions(); }
            config = new Config { Opt = opt, Log = WrapperLog.None, Http = new RestClient(opt, WrapperLog.None) };
        }

        private static string ConfigPath()
        {
            string dir = Path.GetDirectoryName(typeof(vCloudWrapper).Assembly.Location) ?? ".";
            return Path.Combine(dir, "vCloudSDKWrapper.config");
        }

        private static string N(string s) { return s == null ? "" : s.Trim(); }

        // Runs an operation whose result goes to a caller's ref argument: the argument changes only when
        // the operation succeeds.
        private bool Fill<T>(string op, ref T output, Func<Api, T> body)
        {
            T result = default(T);
            bool ok = Run(op, false, api => { result = body(api); return true; });
            if (ok) output = result;
            return ok;
        }

        // Runs one operation: no exception leaves it; a failure sets the calling thread's last error.
        private T Run<T>(string op, T failure, Func<Api, T> body, bool needSession = true)
        {
            var cfg = config;
            var sw = Stopwatch.StartNew();
            try
            {
                Api api = null;
                Session s = null;
                NameCache kept = null;
                if (needSession)
                {
                    s = session;
                    if (s == null) throw new CloudException("not logged in; call Login first");
                    kept = names;
                    if (kept != null && kept.Owner != s) kept = null;
                    api = new Api(s, cfg.Http) { Names = kept };
                }
                T result;
                try { result = body(api); }
                catch (CloudException e) when (api != null && e.IsNotFound && api.KeptUsed.Count > 0 && !api.Changed)
                {
                    // A name kept from earlier found nothing or something else: once more, resolving afresh.
                    cfg.Log.Info(1, op + ": resolving kept names again: " + e.Message);
                    kept.Drop(api.KeptUsed);
                    api = new Api(s, cfg.Http) { Names = kept };
                    result = body(api);
                }
                cfg.Log.Info(1, op + ": done in " + sw.ElapsedMilliseconds + " ms");
                return result;
            }
            catch (CloudException e)
            {
                Fail(cfg, op, e.Message, null);
            }
            catch (Exception e)
            {
                Fail(cfg, op, "unexpected " + e.GetType().Name + ": " + RestClient.Flatten(e), e);
            }
            return failure;
        }

        private void Fail(Config cfg, string op, string message, Exception e)
        {
            // Texts quoted from a server or a caller reach logs and terminals: no secret, no control character.
            string text = op + ": " + RestClient.Visible(RestClient.Redact(message, null));
            lastError.Value = text;
            cfg.Log.Error(text);
            if (e != null) cfg.Log.Info(1, RestClient.Visible(RestClient.Redact(e.ToString(), null)));
        }

        // The last failure on the calling thread; "" when there was none.
        public string getLastErrorString()
        {
            try { return lastError.Value ?? ""; }
            catch (Exception) { return ""; }
        }

        // logFile: the wrapper's own log ("" for none). options: key=value;... (see README).
        // debugLevel: 0 errors, 1 operations, 2 HTTP requests, 3 response bodies.
        public bool Initialize(string logFile, string options, ulong debugLevel)
        {
            return Run("Initialize", false, unused =>
            {
                if (configError.Length > 0) throw new CloudException(configError);
                var opt = new WrapperOptions();
                try
                {
                    opt.ApplyConfigFile(ConfigPath());
                    opt.Apply(options ?? "", "options");
                }
                catch (ArgumentException e) { throw new CloudException(e.Message); }
                WrapperLog log;
                try { log = string.IsNullOrEmpty(logFile) ? WrapperLog.None : new WrapperLog(logFile, debugLevel); }
                catch (Exception e) { throw new CloudException("cannot open the log file '" + logFile + "': " + e.Message); }
                var http = new RestClient(opt, log);
                if (http.ProxyError != null) throw new CloudException(http.ProxyError);
                config = new Config { Opt = opt, Log = log, Http = http };
                // New settings may name another way to log in: the credentials of the session in place go,
                // and a session the server ends from now on stays ended.
                var held = session;
                if (held != null && held.Renewal != null) held.Renewal.Drop();
                names = held == null ? null : new NameCache(held);
                log.Info(1, "Initialize: " + typeof(vCloudWrapper).Assembly.GetName().Version + "; " + opt.Describe());
                if (opt.Insecure)
                    log.Loud("TLS certificate verification is DISABLED (insecure=true): any server can pose as the cloud and read the credentials");
                return true;
            }, false);
        }

        // url: https://host[:port][/api]; user: name@organisation ("System" for the provider).
        public bool Login(string url, string user, string password)
        {
            return Run("Login", false, unused =>
            {
                lock (loginGate)
                {
                    var cfg = config;
                    var old = Newest(session);
                    if (old != null)
                    {
                        session = null;
                        if (old.Renewal != null) old.Renewal.Drop();
                        try { Connection.Logout(cfg.Http, old); }
                        catch (CloudException e) { cfg.Log.Info(1, "Login: ending the previous session failed: " + e.Message); }
                    }
                    names = null;
                    var s = Connection.Login(cfg.Http, N(url), N(user), password ?? "");
                    // Kept while connected, to log in again when the server ends the session.
                    new Renewal(N(url), N(user), password ?? "").Start(s);
                    names = new NameCache(s);
                    session = s;
                    cfg.Log.Info(1, "Login: " + s.Login + " at " + s.Root + " (API " + s.Version + ", "
                        + (cfg.Opt.ApiToken ? "API token, " : "")
                        + (s.Cloudapi ? (s.IsSystem ? "provider" : "tenant") + " session" : "legacy session") + ")");
                    return true;
                }
            }, false);
        }

        private static Session Newest(Session s)
        {
            if (s == null || s.Renewal == null || s.Renewal.Current == null) return s;
            return s.Renewal.Current;
        }

        // Ends the session on the server. The wrapper forgets it and the credentials even when the server
        // cannot be told.
        public bool Logout()
        {
            return Run("Logout", false, unused =>
            {
                lock (loginGate)
                {
                    var s = Newest(session);
                    names = null;
                    if (s == null) return true;
                    session = null;
                    if (s.Renewal != null) s.Renewal.Drop();
                    Connection.Logout(config.Http, s);
                    return true;
                }
            }, false);
        }
    }
}
