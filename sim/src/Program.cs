// vcdsim: command line, inventory loading, start-up line, and a clean stop on SIGINT, SIGTERM or the end
// of standard input.
using System;
using System.Diagnostics;
using System.Globalization;
using System.IO;
using System.Threading;
using Mono.Unix;
using Mono.Unix.Native;

namespace VcdSim
{
    static class Program
    {
        const string Usage =
            "usage: mono vcdsim.exe [--port N] [--fixture FILE] [--generate ORGS,VDCS,VAPPS,VMS] [--load DIR [--passwords FILE]]\n" +
            "                       [--task-ms N] [--latency-ms N] [--error500 SHARE] [--error503 SHARE] [--token-expiry N]\n" +
            "                       [--fail-tasks N] [--truncate] [--malformed] [--html-proxy] [--html-status N]\n" +
            "                       [--fault-path PREFIX] [--fault-count N] [--churn N]\n" +
            "                       [--api-versions LIST] [--product-version TEXT] [--public-url BASE]\n" +
            "                       [--xml-prefix alternate|ns5|none] [--api-token USER@ORG=TOKEN]... [--api-token-file FILE]\n" +
            "                       [--tls-cert FILE --tls-key FILE] [--stdin-lifeline] [--verbose]\n" +
            "With neither --fixture nor --generate nor --load the demo cloud beside the program is loaded.\n" +
            "--load DIR serves a cloud recorded by `vcloud-bridge record DIR` (default: VCDSIM_LOAD when set); its users\n" +
            "log in with any password, or with the one --passwords FILE (or VCDSIM_PASSWORDS) gives them in a line\n" +
            "USER@ORG PASSWORD.\n" +
            "API versions are a comma list; a trailing D marks a deprecated one (default " + DefaultVersions + ",\n" +
            "or VCDSIM_API_VERSIONS when set).\n";

        const string DefaultVersions = "35.0D,36.0D,36.3D,37.0,37.1,37.2,38.0";

        static readonly ManualResetEvent stop = new ManualResetEvent(false);

        static int Main(string[] args)
        {
            int port = 0, taskMs = 200;
            // VCDSIM_API_VERSIONS sets the default for --api-versions, so that a whole test run (and every
            // simulator its tools start) can play a server of one API version line.
            string envVersions = Environment.GetEnvironmentVariable("VCDSIM_API_VERSIONS");
            string fixture = null, generate = null, product = null, publicUrl = null, xmlPrefix = "alternate";
            // VCDSIM_LOAD sets the default for --load, so that a whole test run (and every simulator its tools
            // start) can serve one recorded cloud.
            string load = Environment.GetEnvironmentVariable("VCDSIM_LOAD");
            if (string.IsNullOrEmpty(load)) load = null;
            string passwords = Environment.GetEnvironmentVariable("VCDSIM_PASSWORDS");
            if (string.IsNullOrEmpty(passwords)) passwords = null;
            string versions = string.IsNullOrEmpty(envVersions) ? DefaultVersions : envVersions;
            bool lifeline = false, verbose = false;
            var faultArgs = new System.Collections.Generic.List<string[]>();
            var apiTokens = new System.Collections.Generic.List<string>();
            var apiTokenFiles = new System.Collections.Generic.List<string>();
            string tlsCert = null, tlsKey = null;
            try
            {
                for (int i = 0; i < args.Length; i++)
                {
                    string a = args[i];
                    Func<string> next = () =>
                    {
                        if (i + 1 >= args.Length) throw new ArgumentException(a + " needs a value");
                        return args[++i];
                    };
                    switch (a)
                    {
                        case "--port": port = IntArg(a, next(), 0, 65535); break;
                        case "--fixture": fixture = next(); break;
                        case "--generate": generate = next(); break;
                        case "--load": load = next(); break;
                        case "--passwords": passwords = next(); break;
                        case "--task-ms": taskMs = IntArg(a, next(), 0, 3600000); break;
                        case "--api-versions": versions = next(); break;
                        case "--product-version": product = next(); break;
                        case "--public-url": publicUrl = PublicUrl(next()); break;
                        case "--xml-prefix": xmlPrefix = next(); break;
                        case "--stdin-lifeline": lifeline = true; break;
                        case "--verbose": verbose = true; break;
                        case "--latency-ms": faultArgs.Add(new[] { "latencyMs", next() }); break;
                        case "--error500": faultArgs.Add(new[] { "error500", next() }); break;
                        case "--error503": faultArgs.Add(new[] { "error503", next() }); break;
                        case "--token-expiry": faultArgs.Add(new[] { "tokenExpiresAfter", next() }); break;
                        case "--fail-tasks": faultArgs.Add(new[] { "failTasks", next() }); break;
                        case "--truncate": faultArgs.Add(new[] { "truncate", "true" }); break;
                        case "--malformed": faultArgs.Add(new[] { "malformed", "true" }); break;
                        case "--html-proxy": faultArgs.Add(new[] { "html", "true" }); break;
                        case "--html-status": faultArgs.Add(new[] { "htmlStatus", next() }); break;
                        case "--fault-path": faultArgs.Add(new[] { "path", next() }); break;
                        case "--fault-count": faultArgs.Add(new[] { "count", next() }); break;
                        case "--churn": faultArgs.Add(new[] { "churn", next() }); break;
                        case "--api-token": apiTokens.Add(next()); break;
                        case "--api-token-file": apiTokenFiles.Add(next()); break;
                        case "--tls-cert": tlsCert = next(); break;
                        case "--tls-key": tlsKey = next(); break;
                        case "-h": case "--help": Console.Out.Write(Usage); return 0;
                        default: throw new ArgumentException("unknown option " + a);
                    }
                }
                if (fixture != null && generate != null) throw new ArgumentException("--fixture and --generate exclude each other");
                if (xmlPrefix != "alternate" && xmlPrefix != "ns5" && xmlPrefix != "none")
                    throw new ArgumentException("--xml-prefix takes alternate, ns5 or none");
                if ((tlsCert == null) != (tlsKey == null)) throw new ArgumentException("--tls-cert and --tls-key go together");
                if (fixture != null || generate != null) load = null;
            }
            catch (ArgumentException e)
            {
                Console.Error.WriteLine("vcdsim: " + e.Message);
                Console.Error.Write(Usage);
                return 2;
            }

            var cloud = new Cloud { XmlPrefix = xmlPrefix };
            var faults = new Faults(taskMs);
            var loadClock = Stopwatch.StartNew();
            Replay replay = null;
            try
            {
                cloud.SetApiVersions(versions);
                foreach (var f in faultArgs) faults.Set(f[0], f[1]);
                if (generate != null)
                {
                    var parts = generate.Split(',');
                    if (parts.Length != 4) throw new ArgumentException("--generate needs ORGS,VDCS,VAPPS,VMS");
                    int o = IntArg("--generate", parts[0], 1, 1000), v = IntArg("--generate", parts[1], 1, 1000);
                    int a = IntArg("--generate", parts[2], 1, 100000), m = IntArg("--generate", parts[3], 0, 100000);
                    if ((long)o * v * a * m > 1000000) throw new ArgumentException("--generate is limited to 1,000,000 VMs");
                    Generator.Generate(cloud, o, v, a, m);
                }
                else if (load != null)
                {
                    replay = Load.FromDirectory(cloud, load);
                    if (passwords != null) Load.Passwords(cloud, passwords);
                }
                else
                {
                    string path = fixture ?? Path.Combine(AppDomain.CurrentDomain.BaseDirectory, "demo-cloud.xml");
                    Fixture.Load(cloud, path);
                }
                // The option wins over the fixture's own product version.
                if (product != null)
                {
                    int sp = product.IndexOf(' ');
                    cloud.ProductVersion = sp < 0 ? product : product.Substring(0, sp);
                    if (sp >= 0) cloud.ProductBuildDate = product.Substring(sp + 1);
                }
            }
            catch (Exception e) when (e is ArgumentException || e is FixtureError)
            {
                Console.Error.WriteLine("vcdsim: " + e.Message);
                return 2;
            }
            // The default of a handful of pool threads would let a few slow (latency-injected) requests hold
            // up everything else.
            ThreadPool.SetMinThreads(32, 32);

            // Signal handlers go in before the start-up line, so that a parent may stop us as soon as it has read it.
            var signals = new[] { new UnixSignal(Signum.SIGINT), new UnixSignal(Signum.SIGTERM) };
            new Thread(() =>
            {
                UnixSignal.WaitAny(signals, -1);
                stop.Set();
            }) { IsBackground = true, Name = "signals" }.Start();

            var api = new Api(cloud, faults) { Replay = replay };
            try
            {
                // A file keeps tokens off command lines: one USER@ORG=TOKEN a line.
                foreach (var f in apiTokenFiles)
                {
                    string[] lines;
                    try { lines = File.ReadAllLines(f); }
                    catch (Exception e) when (e is IOException || e is UnauthorizedAccessException)
                    {
                        throw new ArgumentException("cannot read the API token file " + f + ": " + e.Message);
                    }
                    foreach (var line in lines)
                        if (line.Trim().Length > 0) apiTokens.Add(line.Trim());
                }
                // A token is a secret: only its owner is named in an error.
                foreach (var t in apiTokens)
                {
                    int eq = t.IndexOf('=');
                    if (eq <= 0) throw new ArgumentException("--api-token needs USER@ORG=TOKEN");
                    api.AddApiToken(t.Substring(0, eq), t.Substring(eq + 1));
                }
            }
            catch (ArgumentException e)
            {
                Console.Error.WriteLine("vcdsim: " + e.Message);
                return 2;
            }
            var server = new Server(cloud, api, faults, verbose);
            TlsFront tls = null;
            if (tlsCert != null)
            {
                try { tls = new TlsFront(tlsCert, tlsKey); }
                catch (Exception e)
                {
                    Console.Error.WriteLine("vcdsim: cannot use the certificate " + tlsCert + " and key " + tlsKey + ": " + e.Message);
                    return 2;
                }
            }
            try
            {
                if (tls != null)
                {
                    // The plain listener takes a private port; clients reach it only through TLS.
                    server.Start(0, true);
                    tls.Start(port, server.Port);
                    Refs.Base = "https://127.0.0.1:" + tls.Port;
                }
                else server.Start(port);
            }
            catch (Exception e)
            {
                Console.Error.WriteLine("vcdsim: cannot listen on port " + port + ": " + e.Message);
                return 1;
            }
            // Behind a load balancer a server writes its hrefs with the address clients are told to use, not
            // the one it listens on.
            if (publicUrl != null) Refs.Base = publicUrl;
            Console.Out.WriteLine(tls != null ? "vcdsim listening on https://127.0.0.1:" + tls.Port + "/"
                                              : "vcdsim listening on http://127.0.0.1:" + server.Port + "/");
            Console.Out.Flush();
            Console.Error.WriteLine(string.Format(CultureInfo.InvariantCulture,
                "vcdsim: {0} organizations, {1} VDCs, {2} vApps, {3} VMs loaded in {4} ms; API versions {5}",
                cloud.Orgs.Count, cloud.Vdcs.Count, cloud.VApps.Count, cloud.Vms.Count, loadClock.ElapsedMilliseconds, cloud.VersionListText()));

            if (replay != null)
            {
                Console.Error.WriteLine("vcdsim: recording " + load + ": " + replay.Count + " answers recorded at API " + replay.Version +
                    " as " + replay.User + "@" + replay.OrgName + "; requests at that version by that user are answered as recorded until the cloud changes, " +
                    "every other request by the model built from it (other versions get the simulator's own shapes)");
                if (replay.Complete != "yes") Console.Error.WriteLine("vcdsim: warning: the recording is incomplete (" + replay.Complete + ")");
            }
            // Tasks advance even when nobody asks about them.
            new Thread(() =>
            {
                while (!stop.WaitOne(20))
                    lock (cloud.Gate) api.Tasks.Tick();
            }) { IsBackground = true, Name = "tasks" }.Start();


            if (lifeline)
            {
                // The parent holds our standard input open for as long as it wants us running; when it exits,
                // for whatever reason, the pipe closes and we stop too.
                new Thread(() =>
                {
                    try
                    {
                        var input = Console.OpenStandardInput();
                        var buf = new byte[256];
                        while (input.Read(buf, 0, buf.Length) > 0) { }
                    }
                    catch (Exception) { }
                    stop.Set();
                }) { IsBackground = true, Name = "lifeline" }.Start();
            }

            stop.WaitOne();
            if (tls != null) tls.Stop();
            server.Stop();
            Console.Error.WriteLine("vcdsim: stopped");
            Environment.Exit(0);
            return 0;
        }

        // scheme://host[:port] with no path, as every href starts.
        static string PublicUrl(string v)
        {
            Uri u;
            if (!Uri.TryCreate(v, UriKind.Absolute, out u) || (u.Scheme != "http" && u.Scheme != "https") ||
                u.AbsolutePath != "/" || u.Query.Length > 0 || u.Fragment.Length > 0 || u.UserInfo.Length > 0)
                throw new ArgumentException("--public-url needs http(s)://HOST[:PORT], not \"" + v + "\"");
            return u.GetLeftPart(UriPartial.Authority);
        }

        static int IntArg(string name, string v, int min, int max)
        {
            int n;
            if (!int.TryParse(v, NumberStyles.Integer, CultureInfo.InvariantCulture, out n) || n < min || n > max)
                throw new ArgumentException(name + " needs a whole number from " + min + " to " + max + ", not \"" + v + "\"");
            return n;
        }
    }
}
