// The HTTP side: the listener on 127.0.0.1, one work item per request, fault injection around the API, the
// request counters, and the control endpoint under /sim/ that tests use.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Net;
using System.Net.Sockets;
using System.Text;
using System.Threading;

namespace VcdSim
{
    partial class Server
    {
        readonly Cloud cloud;
        readonly Api api;
        readonly Faults faults;
        readonly Counters counters = new Counters();
        readonly bool verbose;
        volatile HttpListener listener;
        volatile bool running;
        public int Port;

        public Server(Cloud cloud, Api api, Faults faults, bool verbose)
        {
            this.cloud = cloud;
            this.api = api;
            this.faults = faults;
            this.verbose = verbose;
            journal = new Journal(cloud);
            cloud.Observer += journal.OnChanged;
        }

        // Binds the listener. For port 0 a free port is found first; another process may take it in between,
        // so that case is retried with a new port.
        public void Start(int port, bool acceptLocalhost = false)
        {
            for (int attempt = 0; ; attempt++)
            {
                int p = port;
                if (p == 0)
                {
                    var probe = new TcpListener(IPAddress.Loopback, 0);
                    probe.Start();
                    p = ((IPEndPoint)probe.LocalEndpoint).Port;
                    probe.Stop();
                }
                var l = new HttpListener();
                l.Prefixes.Add("http://127.0.0.1:" + p + "/");
                // Behind the TLS front the Host header is the one clients used, which may be the name.
                if (acceptLocalhost) l.Prefixes.Add("http://localhost:" + p + "/");
                l.IgnoreWriteExceptions = true;
                try
                {
                    l.Start();
                }
                catch (Exception) when (port == 0 && attempt < 20)
                {
                    l.Close();
                    continue;
                }
                listener = l;
                Port = p;
                Refs.Base = "http://127.0.0.1:" + p;
                break;
            }
            running = true;
            StartAccepting(listener);
        }

        void StartAccepting(HttpListener l)
        {
            var gen = generation;
            var t = new Thread(() => AcceptLoop(l, gen)) { IsBackground = true, Name = "accept" };
            t.Start();
        }

        public void Stop()
        {
            running = false;
            try { listener.Stop(); listener.Close(); } catch (Exception) { }
        }

        // One loop per listener: a cell restart replaces the listener, and the old loop ends with it.
        void AcceptLoop(HttpListener l, Generation gen)
        {
            while (running && listener == l)
            {
                HttpListenerContext ctx;
                try
                {
                    ctx = l.GetContext();
                }
                catch (Exception)
                {
                    if (!running || listener != l) return;
                    continue;
                }
                Interlocked.Increment(ref gen.InFlight);
                ThreadPool.QueueUserWorkItem(_ => { try { Api.RequestGeneration = gen.Number; Process(ctx); } finally { Interlocked.Decrement(ref gen.InFlight); } });
            }
        }

        static Req MakeReq(HttpListenerContext ctx)
        {
            var hr = ctx.Request;
            string raw = hr.RawUrl ?? "/";
            if (raw.StartsWith("http://", StringComparison.OrdinalIgnoreCase) || raw.StartsWith("https://", StringComparison.OrdinalIgnoreCase))
            {
                int slash = raw.IndexOf('/', raw.IndexOf("//", StringComparison.Ordinal) + 2);
                raw = slash < 0 ? "/" : raw.Substring(slash);
            }
            int q = raw.IndexOf('?');
            string path = q < 0 ? raw : raw.Substring(0, q);
            var r = new Req
            {
                Ctx = ctx,
                Method = hr.HttpMethod.ToUpperInvariant(),
                Path = path,
                Query = Req.ParseQuery(q < 0 ? "" : raw.Substring(q + 1)),
                ContentType = hr.ContentType ?? "",
            };
            var segs = new List<string>();
            foreach (string s in path.Split('/'))
                if (s.Length > 0) segs.Add(Uri.UnescapeDataString(s));
            r.Segs = segs.ToArray();
            string client = hr.Headers["X-VMWARE-VCLOUD-CLIENT-REQUEST-ID"];
            r.RequestId = client != null && client.Length > 0 && client.Length <= 128 && IsIdText(client)
                ? client + "-" + Guid.NewGuid().ToString("D").Substring(0, 8)
                : Guid.NewGuid().ToString("D");
            if (hr.HasEntityBody)
            {
                using (var ms = new MemoryStream())
                {
                    var buf = new byte[16384];
                    int n;
                    while ((n = hr.InputStream.Read(buf, 0, buf.Length)) > 0)
                    {
                        ms.Write(buf, 0, n);
                        if (ms.Length > 16 * 1024 * 1024) throw new SimError(413, "BAD_REQUEST", "The request body is too large.");
                    }
                    r.Body = ms.ToArray();
                }
            }
            return r;
        }

        static bool IsIdText(string s)
        {
            foreach (char c in s)
                if (!char.IsLetterOrDigit(c) && c != '-') return false;
            return true;
        }

        void Process(HttpListenerContext ctx)
        {
            var clock = Stopwatch.StartNew();
            Req r = null;
            Resp resp;
            FaultDecision fault = null;
            bool counted = false;
            try
            {
                r = MakeReq(ctx);
                if (r.Seg(0) == "sim")
                {
                    resp = Control(r);
                }
                else
                {
                    counters.Count(r.Path);
                    counters.Begin();
                    counted = true;
                    fault = faults.Decide(r.Method, r.Path);
                    if (fault != null && fault.LatencyMs > 0) Thread.Sleep(fault.LatencyMs);
                    if (fault != null && fault.Body == BodyFault.Reset)
                        resp = Resp.Json(0, "");   // never sent: the connection is dropped
                    else if (fault != null && fault.Body == BodyFault.Empty)
                        resp = Resp.Empty(200);    // an answer that lost its body on the way
                    else if (fault != null && fault.ForcedStatus != 0)
                    {
                        resp = r.Seg(0) == "cloudapi"
                            ? api.JsonError(r, fault.ForcedStatus, ForcedCode(fault.ForcedStatus), "Injected server failure.")
                            : api.Error(r, fault.ForcedStatus, ForcedCode(fault.ForcedStatus), "Injected server failure.");
                        if (fault.RetryAfter != null) resp.Header("Retry-After", fault.RetryAfter);
                    }
                    else
                        resp = api.Handle(r);
                }
            }
            catch (SimError e)
            {
                resp = Resp.Json(e.Status, new JsonOut().Obj().Prop("error", e.Message).EndObj().ToString());
            }
            catch (Exception e)
            {
                Console.Error.WriteLine("vcdsim: internal error: " + e);
                resp = r == null
                    ? Resp.Json(500, "{\"error\":\"internal error\"}")
                    : api.Error(r, 500, "INTERNAL_SERVER_ERROR", "Internal error: " + e.GetType().Name);
            }
            if ((r == null || r.Seg(0) != "sim") && !(fault != null && fault.Body == BodyFault.Reset)) counters.CountStatus(resp.Status);
            // A request counts as in flight until its answer starts out: a client that waits for the whole
            // answer before it sends another can never see two where the count says one.
            if (counted) counters.End();
            Send(ctx, r, resp, fault, clock);
        }

        static string ForcedCode(int status)
        {
            if (status == 429) return "TOO_MANY_REQUESTS";
            return status == 503 ? "SERVICE_UNAVAILABLE" : status == 504 ? "GATEWAY_TIMEOUT" : "INTERNAL_SERVER_ERROR";
        }

        static readonly string HtmlPage =
            "<!DOCTYPE html>\n<html><head><title>{0} Proxy Error</title></head>\n<body><h1>{0} Proxy Error</h1>\n" +
            "<p>The proxy server received an invalid response from an upstream server.</p>\n<hr><address>edge proxy</address></body></html>\n";

        // The listener writes a response as its headers with the body's first 16 KB, then the rest. With
        // Nagle's algorithm on, a rest shorter than a segment waits for the client to acknowledge the first
        // write, and a client delays that acknowledgement by 40 ms: every body of some 16 to 80 KB stalled.
        // The listener does not expose its sockets, so the connection's socket is reached by reflection
        // (Mono's HttpListenerContext.cnc and HttpConnection.sock); without them nothing changes.
        static readonly System.Reflection.FieldInfo ConnectionField = typeof(HttpListenerContext).GetField("cnc",
            System.Reflection.BindingFlags.NonPublic | System.Reflection.BindingFlags.Instance);
        static readonly System.Reflection.FieldInfo SocketField = ConnectionField == null ? null
            : ConnectionField.FieldType.GetField("sock", System.Reflection.BindingFlags.NonPublic | System.Reflection.BindingFlags.Instance);

        internal static bool SendWithoutDelay(HttpListenerContext ctx)
        {
            try
            {
                var connection = ConnectionField == null ? null : ConnectionField.GetValue(ctx);
                var socket = connection == null || SocketField == null ? null : SocketField.GetValue(connection) as Socket;
                if (socket == null) return false;
                if (!socket.NoDelay) socket.NoDelay = true;
                return true;
            }
            catch (Exception) { return false; }
        }

        void Send(HttpListenerContext ctx, Req r, Resp resp, FaultDecision fault, Stopwatch clock)
        {
            var o = ctx.Response;
            SendWithoutDelay(ctx);
            try
            {
                BodyFault bf = fault == null ? BodyFault.None : fault.Body;
                if (bf == BodyFault.Reset)
                {
                    // The connection goes right after the answer's head, before its body: the client has no answer.
                    // (HttpListener writes the head on any close, so the head announces a body that never comes.)
                    o.StatusCode = 200;
                    o.ContentType = "application/xml";
                    o.SendChunked = false;
                    o.ContentLength64 = 4096;
                    o.OutputStream.Write(new byte[] { (byte)'<' }, 0, 1);
                    o.OutputStream.Flush();
                    o.Abort();
                    return;
                }
                byte[] body = resp.Body;
                if (bf == BodyFault.Html)
                {
                    o.StatusCode = fault.HtmlStatus;
                    o.ContentType = "text/html; charset=utf-8";
                    body = Encoding.UTF8.GetBytes(string.Format(HtmlPage, fault.HtmlStatus));
                }
                else
                {
                    o.StatusCode = resp.Status;
                    if (resp.ContentType != null) o.ContentType = resp.ContentType;
                    foreach (var h in resp.Headers) o.Headers.Add(h.Key, h.Value);
                    if (bf == BodyFault.Malformed && body.Length > 0)
                    {
                        // Cut the document in the middle of its content and end it with markup no parser accepts.
                        var broken = new MemoryStream();
                        broken.Write(body, 0, body.Length / 2);
                        var tail = Encoding.UTF8.GetBytes("<<</");
                        broken.Write(tail, 0, tail.Length);
                        body = broken.ToArray();
                    }
                }
                if (r != null)
                {
                    o.Headers.Add("X-VMWARE-VCLOUD-REQUEST-ID", r.RequestId);
                    o.Headers.Add("X-VMWARE-VCLOUD-REQUEST-EXECUTION-TIME", clock.ElapsedMilliseconds.ToString());
                }
                o.ContentLength64 = body.Length;
                if (bf == BodyFault.Truncate && body.Length > 1)
                {
                    // The declared length stays whole; half the body goes out and the connection is dropped.
                    o.SendChunked = false;
                    o.OutputStream.Write(body, 0, body.Length / 2);
                    o.OutputStream.Flush();
                    o.Abort();
                    return;
                }
                if (body.Length > 0) o.OutputStream.Write(body, 0, body.Length);
                o.Close();
            }
            catch (Exception e)
            {
                if (verbose) Console.Error.WriteLine("vcdsim: send failed: " + e.Message);
                try { o.Abort(); } catch (Exception) { }
            }
            finally
            {
                if (verbose && r != null)
                    Console.Error.WriteLine("{0} {1} -> {2} ({3} ms)", r.Method, r.Path, resp.Status, clock.ElapsedMilliseconds);
            }
        }

        // ---- control endpoint ---------------------------------------------------------------------------------

        static Resp Ok(string json) { return Resp.Json(200, json); }

        // Settings come as query parameters or as a form-encoded body.
        static IEnumerable<KeyValuePair<string, string>> Params(Req r)
        {
            foreach (string k in r.Query.AllKeys)
                if (k != null) yield return new KeyValuePair<string, string>(k, r.Query[k]);
            if (r.Body.Length > 0)
            {
                var form = Req.ParseQuery(Encoding.UTF8.GetString(r.Body).Trim());
                foreach (string k in form.AllKeys)
                    if (k != null) yield return new KeyValuePair<string, string>(k, form[k]);
            }
        }

        Resp Control(Req r)
        {
            string what = r.Seg(1);
            int n = r.Segs.Length;
            try
            {
                var night = NightControl(r);
                if (night != null) return night;
                switch (what)
                {
                    case null:
                        return new Resp { Status = 200, ContentType = "text/plain; charset=utf-8", Body = Encoding.UTF8.GetBytes(ControlHelp) };
                    case "faults":
                        if (n == 3 && r.Seg(2) == "reset" && r.Method == "POST") { ResetFaults(); return Ok(faults.ToJson()); }
                        if (n != 2) break;
                        if (r.Method == "GET") return Ok(faults.ToJson());
                        if (r.Method == "DELETE") { ResetFaults(); return Ok(faults.ToJson()); }
                        if (r.Method == "POST" || r.Method == "PUT")
                        {
                            var all = new List<KeyValuePair<string, string>>(Params(r));
                            foreach (var kv in all) faults.Set(kv.Key, kv.Value);
                            foreach (var kv in all)
                                if (kv.Key == "tokenExpiresAfter") api.SetTokenBudget(faults.TokenBudget);
                            return Ok(faults.ToJson());
                        }
                        break;
                    case "counters":
                        if (n == 3 && r.Seg(2) == "reset" && r.Method == "POST") { counters.Reset(); return Ok(counters.ToJson("")); }
                        if (n != 2) break;
                        if (r.Method == "GET") return Ok(counters.ToJson(r.Query["prefix"]));
                        if (r.Method == "DELETE") { counters.Reset(); return Ok(counters.ToJson("")); }
                        break;
                    case "state":
                        if (n == 2 && r.Method == "GET") return State(r);
                        break;
                    case "api-tokens":
                        if (n != 2) break;
                        if (r.Method == "POST" || r.Method == "DELETE")
                        {
                            string user = null, token = null;
                            foreach (var kv in Params(r))
                            {
                                switch (kv.Key)
                                {
                                    case "user": user = kv.Value; break;
                                    case "token": token = kv.Value; break;
                                    case "lifetime": api.TokenLifetime = kv.Value ?? ""; break;
                                    case "omitAccessToken": api.OmitAccessToken = kv.Value == "true"; break;
                                    default: throw new ArgumentException("unknown api-tokens setting " + kv.Key);
                                }
                            }
                            if (r.Method == "DELETE" && token != null && !api.RevokeApiToken(token))
                                return Resp.Json(404, "{\"revoked\":false}");
                            if (r.Method == "POST" && token != null) api.AddApiToken(user ?? "", token);
                        }
                        else if (r.Method != "GET") break;
                        return Ok(new JsonOut().Obj().Prop("tokens", api.ApiTokenCount).Prop("lifetime", api.TokenLifetime)
                            .Prop("omitAccessToken", api.OmitAccessToken).EndObj().ToString());
                    case "rename":
                        if (n == 2 && r.Method == "POST") return Rename(r);
                        break;
                    case "api-versions":
                        // The versions offered from now on, as a cell upgrade changes them between two logins.
                        if (n != 2 || r.Method != "POST") break;
                        lock (cloud.Gate) cloud.SetApiVersions(r.Query["list"] ?? "");
                        return Ok(new JsonOut().Obj().Prop("versions", cloud.VersionListText()).EndObj().ToString());
                    case "reset":
                        if (n == 2 && r.Method == "POST") { ResetFaults(); counters.Reset(); return Ok("{\"reset\":true}"); }
                        break;
                }
            }
            catch (ArgumentException e)
            {
                return Resp.Json(400, new JsonOut().Obj().Prop("error", e.Message).EndObj().ToString());
            }
            return Resp.Json(404, "{\"error\":\"unknown control endpoint; GET /sim/ lists them\"}");
        }

        void ResetFaults()
        {
            faults.Reset();
            api.SetTokenBudget(-1);
        }

        const string ControlHelp =
            "vcdsim control endpoint\n" +
            "GET  /sim/faults                    current fault settings (JSON)\n" +
            "POST /sim/faults?key=value&...      set faults: latencyMs, error500, error503, error504, error429, retryAfter,\n" +
            "                                    truncate, malformed, html, htmlStatus, path, method, count, failTasks,\n" +
            "                                    tokenExpiresAfter, taskMs (error429=SHARE&retryAfter=SECONDS|HTTP-DATE|empty:\n" +
            "                                    429 with Retry-After; retryAfter also goes on 503 answers)\n" +
            "POST /sim/faults/reset              clear every fault (DELETE /sim/faults does the same)\n" +
            "GET  /sim/counters[?prefix=/api/x]  request counters: total, per path (or for one prefix), per status\n" +
            "POST /sim/counters/reset            zero the counters\n" +
            "GET  /sim/state                     inventory summary\n" +
            "GET  /sim/state?href=H | id=URN     one object (VM power state, vApp VMs, task status, ...)\n" +
            "GET  /sim/state?name=N[&kind=vm]    every object with that name\n" +
            "POST /sim/reset                     clear faults and counters\n" +
            "POST /sim/api-tokens?user=U@ORG&token=T   register an API token; DELETE ...?token=T revokes it\n" +
            "POST /sim/api-tokens?lifetime=N&omitAccessToken=true|false   what the token endpoints answer\n" +
            "POST /sim/rename?href=H&name=N      give an object (organization, VDC, vApp, VM, ...) a new name\n" +
            "POST /sim/api-versions?list=LIST    the API versions offered from now on (as --api-versions)\n" +
            "POST /sim/journal, GET ...?after=N  start the VM journal; its lines from sequence number N on\n" +
            "GET  /sim/sessions                  sessions open, made, and ended by the server; cell restarts\n" +
            "POST /sim/cell-restart              end every session and drop every connection; the inventory stays\n" +
            "POST /sim/tenant?op=...             a tenant's change: create-vm, delete-vm, power, tag, create-vapp, delete-vapp\n";

        // Gives an object a new name, as an administrator renames an organisation or a VDC: the object and
        // its href stay, every answer from now on carries the new name.
        Resp Rename(Req r)
        {
            string href = r.Query["href"] ?? r.Query["id"], name = r.Query["name"];
            if (string.IsNullOrEmpty(href) || string.IsNullOrEmpty(name)) throw new ArgumentException("rename needs href (or id) and name");
            lock (cloud.Gate)
            {
                var e = cloud.Find(Refs.IdOf(href));
                if (e == null) return Resp.Json(404, "{\"exists\":false}");
                e.Name = name;
                cloud.Changed();
                var j = new JsonOut();
                Describe(j, e);
                return Ok(j.ToString());
            }
        }

        Resp State(Req r)
        {
            lock (cloud.Gate)
            {
                api.Tasks.Tick();
                string href = r.Query["href"] ?? r.Query["id"];
                string name = r.Query["name"];
                if (href != null)
                {
                    var e = cloud.Find(Refs.IdOf(href));
                    if (e == null) return Resp.Json(404, "{\"exists\":false}");
                    var j = new JsonOut();
                    Describe(j, e);
                    return Ok(j.ToString());
                }
                if (name != null)
                {
                    string kind = r.Query["kind"];
                    var j = new JsonOut().Arr();
                    foreach (var e in cloud.ById.Values)
                        if (e.Name == name && (kind == null || KindName(e) == kind)) Describe(j, e);
                    return Ok(j.EndArr().ToString());
                }
                int pending = api.Tasks.PendingCount;
                return Ok(new JsonOut().Obj()
                    .Prop("orgs", cloud.Orgs.Count).Prop("vdcs", cloud.Vdcs.Count).Prop("vapps", cloud.VApps.Count)
                    .Prop("vms", cloud.Vms.Count).Prop("templates", cloud.Templates.Count).Prop("users", cloud.Users.Count)
                    .Prop("vcenters", cloud.VCenters.Count).Prop("sessions", api.SessionCount)
                    .Prop("pendingTasks", pending).Prop("version", cloud.Version).Prop("port", Port)
                    .EndObj().ToString());
            }
        }

        static string KindName(Entity e)
        {
            return e.Kind.ToString().ToLowerInvariant();
        }

        static void Meta(JsonOut j, Entity e)
        {
            j.Key("metadata").Obj();
            if (e.Metadata != null) foreach (var m in e.Metadata) j.Prop(m.Key, m.Value);
            j.EndObj();
        }

        void Describe(JsonOut j, Entity e)
        {
            j.Obj().Prop("exists", true).Prop("kind", KindName(e)).Prop("id", Refs.Urn(e)).Prop("href", Refs.Href(e)).Prop("name", e.Name);
            if (e.Org != null) j.Prop("org", e.Org.Name);
            j.Prop("busy", e.ActiveTask != null && !e.ActiveTask.Finished);
            var vm = e as Vm;
            if (vm != null)
            {
                j.Prop("status", Cloud.StatusName(Cloud.VmStatus(vm)))
                 .Prop("powerState", vm.Power == Power.On ? "on" : vm.Power == Power.Off ? "off" : "suspended")
                 .Prop("deployed", vm.Deployed).Prop("template", vm.IsTemplate)
                 .Prop("parent", Refs.Href(vm.Parent)).Prop("parentName", vm.Parent.Name).Prop("vdc", vm.Vdc.Name)
                 .Prop("moref", vm.Moref).Prop("vcenter", vm.VCenter == null ? "" : vm.VCenter.Name)
                 .Prop("storageProfile", vm.Profile == null ? "" : vm.Profile.Name)
                 .Prop("description", vm.Description).Prop("computerName", vm.ComputerName);
                Meta(j, vm);
                j.Key("nics").Arr();
                foreach (var nic in vm.Nics)
                    j.Obj().Prop("index", nic.Index).Prop("network", nic.Network).Prop("ip", nic.Ip).Prop("mac", nic.Mac)
                     .Prop("connected", nic.Connected).Prop("mode", nic.Mode).EndObj();
                j.EndArr();
            }
            var va = e as VApp;
            if (va != null)
            {
                j.Prop("status", Cloud.StatusName(Cloud.VAppStatus(va))).Prop("deployed", Cloud.VAppDeployed(va))
                 .Prop("vdc", va.Vdc.Name).Prop("owner", va.Owner == null ? "" : va.Owner.Name)
                 .Prop("sharedToEveryone", va.SharedToEveryone);
                Meta(j, va);
                j.Key("vms").Arr();
                foreach (var v in va.Vms) j.Val(v.Name);
                j.EndArr();
                j.Key("networks").Arr();
                foreach (var n in va.Nets) j.Val(n.Name);
                j.EndArr();
                j.Key("acl").Arr();
                foreach (var a in va.Acl) j.Obj().Prop("subject", a.Subject.Name).Prop("level", a.Level).EndObj();
                j.EndArr();
            }
            var t = e as SimTask;
            if (t != null)
            {
                j.Prop("status", t.Status).Prop("operationName", t.OperationName).Prop("owner", t.OwnerHref)
                 .Prop("error", t.Error == null ? "" : t.Error.Message);
            }
            var sp = e as StorageProfile;
            if (sp != null) j.Prop("limitMB", sp.LimitMB).Prop("usedMB", sp.UsedMB).Prop("default", sp.IsDefault);
            j.EndObj();
        }
    }
}
