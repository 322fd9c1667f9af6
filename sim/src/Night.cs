// What a long agent run against the simulator needs besides faults: a journal of the VM inventory with the
// time of every change (the truth an answer is checked against), a cell restart, the count of sessions
// still open, and tenants who create, rename, delete, power and tag VMs and vApps while the agent works.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.Text;
using System.Threading;

namespace VcdSim
{
    // The VM inventory as a list of changes. Once switched on, every change of the cloud is compared with
    // the VMs as they were before it, and each VM that came, went or changed gets one line with the time
    // (microseconds since 1970, UTC, the clock every process on the machine shares). Switching it on
    // writes every VM once, so the journal alone gives the inventory at any moment since then.
    class Journal
    {
        class Facts
        {
            public string Line;   // every column but sequence, time and operation
        }

        readonly Cloud cloud;
        readonly List<string> lines = new List<string>();
        Dictionary<string, Facts> last = new Dictionary<string, Facts>(StringComparer.OrdinalIgnoreCase);
        bool on;

        public Journal(Cloud cloud)
        {
            this.cloud = cloud;
        }

        public static long NowMicros()
        {
            return (DateTime.UtcNow.Ticks - 621355968000000000L) / 10;
        }

        // Columns of a line, tab-separated: seq, time, op (add, set, del), id, name, template (0/1), vApp id,
        // vApp name, VDC id, VDC name, organisation, moref, vCenter, storage profile, power (on, off,
        // suspended), metadata (key=value pairs joined by ';'). Tabs, line ends, ';', '=' and '\' in a text
        // are escaped with '\'.
        static string Esc(string s)
        {
            if (string.IsNullOrEmpty(s)) return "";
            var sb = new StringBuilder(s.Length);
            foreach (char c in s)
            {
                switch (c)
                {
                    case '\t': sb.Append("\\t"); break;
                    case '\n': sb.Append("\\n"); break;
                    case '\r': sb.Append("\\r"); break;
                    case '\\': case ';': case '=': sb.Append('\\').Append(c); break;
                    default: sb.Append(c); break;
                }
            }
            return sb.ToString();
        }

        static string Describe(Vm vm)
        {
            var meta = new List<string>();
            if (vm.Metadata != null)
                foreach (var m in vm.Metadata) meta.Add(Esc(m.Key) + "=" + Esc(m.Value));
            var parent = vm.Parent;
            var vdc = parent.Vdc;
            return string.Join("\t", new[]
            {
                vm.Id, Esc(vm.Name), vm.IsTemplate ? "1" : "0", parent.Id, Esc(parent.Name), vdc.Id, Esc(vdc.Name),
                Esc(vm.Org == null ? "" : vm.Org.Name), Esc(vm.Moref), Esc(vm.VCenter == null ? "" : vm.VCenter.Name),
                Esc(vm.Profile == null ? "" : vm.Profile.Name),
                vm.Power == Power.On ? "on" : vm.Power == Power.Off ? "off" : "suspended",
                string.Join(";", meta),
            });
        }

        // Called under the cloud's gate on every change.
        public void OnChanged()
        {
            if (!on) return;
            long t = NowMicros();
            var now = new Dictionary<string, Facts>(last.Count + 8, StringComparer.OrdinalIgnoreCase);
            foreach (var vm in cloud.Vms)
            {
                var f = new Facts { Line = Describe(vm) };
                now[vm.Id] = f;
                Facts before;
                if (!last.TryGetValue(vm.Id, out before)) Add(t, "add", f.Line);
                else if (before.Line != f.Line) Add(t, "set", f.Line);
            }
            foreach (var kv in last)
                if (!now.ContainsKey(kv.Key)) Add(t, "del", kv.Key);
            last = now;
        }

        void Add(long t, string op, string rest)
        {
            lines.Add(lines.Count.ToString(CultureInfo.InvariantCulture) + "\t" + t.ToString(CultureInfo.InvariantCulture) +
                      "\t" + op + "\t" + rest);
        }

        // Under the cloud's gate.
        public void Start()
        {
            if (on) return;
            on = true;
            last.Clear();
            OnChanged();
        }

        public bool On { get { return on; } }

        // The lines from sequence number `after` on, after a first line "now TIME NEXT": every change made
        // up to TIME is in the journal. Under the cloud's gate.
        public string Since(int after)
        {
            var sb = new StringBuilder();
            sb.Append("now\t").Append(NowMicros().ToString(CultureInfo.InvariantCulture)).Append('\t')
              .Append(lines.Count.ToString(CultureInfo.InvariantCulture)).Append('\n');
            for (int i = Math.Max(0, after); i < lines.Count; i++) sb.Append(lines[i]).Append('\n');
            return sb.ToString();
        }
    }

    partial class Api
    {
        // Sessions made, sessions the server ended by itself (a token that ran out, a cell restart), and
        // sessions their clients logged out of.
        public long SessionsMade;
        public long SessionsEnded;
        public long SessionsLoggedOut;   // ended by their clients

        // Sessions a client could still use: those whose request budget has run out are over even before
        // the request that finds them so.
        public int OpenSessionCount
        {
            get
            {
                int n = 0;
                foreach (var s in byToken.Values) if (s.Budget != 0) n++;
                return n;
            }
        }

        // The generation of the listener that accepted the request this thread works on.
        [ThreadStatic] public static int RequestGeneration;

        // A cell restart: every session made through a listener before the given generation ends, those
        // a request still under way makes included. Under the cloud's gate.
        public int DropSessionsBefore(int generation)
        {
            int n = 0;
            foreach (var s in new List<Session>(byToken.Values))
            {
                if (s.Generation >= generation) continue;
                if (s.Budget != 0) n++;
                EndSession(s);
            }
            SessionsEnded += n;
            return n;
        }

        // The session that tenants' changes run in: the System administrator's, never handed to a client.
        Session tenantSession;
        public Session TenantSession()
        {
            if (tenantSession != null) return tenantSession;
            foreach (var u in cloud.Users)
                if (u.Org != null && u.Org.IsSystem)
                {
                    tenantSession = new Session { Id = Cloud.RandomId(), Token = "", Jwt = "", User = u, Org = u.Org, Version = "" };
                    break;
                }
            if (tenantSession == null) throw new ArgumentException("the cloud has no System user");
            return tenantSession;
        }
    }

    // The listener's generation and its requests still under way; a cell restart starts a new one.
    class Generation
    {
        public int Number;
        public int InFlight;
    }

    partial class Server
    {
        readonly Journal journal;
        long cellRestarts;
        volatile Generation generation = new Generation();

        // Control requests of a long run; null when the path is not one of them.
        Resp NightControl(Req r)
        {
            switch (r.Seg(1))
            {
                case "journal":
                    if (r.Segs.Length != 2) return null;
                    lock (cloud.Gate)
                    {
                        api.Tasks.Tick();
                        if (r.Method == "POST") journal.Start();
                        else if (r.Method != "GET") return null;
                        if (!journal.On) return Resp.Json(409, "{\"error\":\"the journal is off; POST /sim/journal starts it\"}");
                        int after;
                        int.TryParse(r.Query["after"] ?? "0", NumberStyles.Integer, CultureInfo.InvariantCulture, out after);
                        return new Resp { Status = 200, ContentType = "text/plain; charset=utf-8", Body = Encoding.UTF8.GetBytes(journal.Since(after)) };
                    }
                case "sessions":
                    if (r.Segs.Length != 2 || r.Method != "GET") return null;
                    lock (cloud.Gate)
                        return Ok(new JsonOut().Obj().Prop("open", api.OpenSessionCount).Prop("made", api.SessionsMade)
                            .Prop("ended", api.SessionsEnded).Prop("loggedOut", api.SessionsLoggedOut).Prop("cellRestarts", Interlocked.Read(ref cellRestarts)).EndObj().ToString());
                case "cell-restart":
                    if (r.Segs.Length != 2 || r.Method != "POST") return null;
                    return CellRestart();
                case "tenant":
                    if (r.Segs.Length != 2 || r.Method != "POST") return null;
                    lock (cloud.Gate)
                    {
                        api.Tasks.Tick();
                        return Tenant.Act(cloud, api, r);
                    }
            }
            return null;
        }

        // A cell restart: every session ends, and every connection, open or idle, drops, as when the cell
        // behind the load balancer goes down and comes back; the inventory stays. The listener is replaced
        // by a new one on the same port; requests in flight lose their connection when they answer.
        // The restart is one moment for the sessions: every session ends, and so does one that a request
        // accepted before the restart makes after it (a login whose answer the restart then loses), once
        // the old listener's requests have run out.
        Resp CellRestart()
        {
            int ended;
            Generation before, next;
            lock (listenerGate)
            {
                before = generation;
                next = new Generation { Number = before.Number + 1 };
                generation = next;
            }
            lock (cloud.Gate) ended = api.DropSessionsBefore(next.Number);
            Interlocked.Increment(ref cellRestarts);
            var old = listener;
            // The answer to this request is sent on the old connection, which the restart closes: the
            // caller learns the outcome from /sim/sessions. So the restart runs after the answer is out.
            ThreadPool.QueueUserWorkItem(_ =>
            {
                Thread.Sleep(50);
                RestartListener(old);
                // This request is one of the old listener's until it is answered; the others may sleep
                // out a latency fault first.
                for (int i = 0; i < 600 && Volatile.Read(ref before.InFlight) > 0; i++) Thread.Sleep(50);
                lock (cloud.Gate) api.DropSessionsBefore(next.Number);
            });
            return Ok(new JsonOut().Obj().Prop("restarted", true).Prop("sessionsEnded", ended).EndObj().ToString());
        }

        void RestartListener(System.Net.HttpListener old)
        {
            lock (listenerGate)
            {
                if (!running || listener != old) return;
                try { old.Abort(); } catch (Exception) { }
                for (int attempt = 0; attempt < 100; attempt++)
                {
                    var l = new System.Net.HttpListener();
                    foreach (var p in old.Prefixes) l.Prefixes.Add(p);
                    l.IgnoreWriteExceptions = true;
                    try
                    {
                        l.Start();
                        listener = l;
                        StartAccepting(l);
                        return;
                    }
                    catch (Exception e)
                    {
                        try { l.Close(); } catch (Exception) { }
                        if (attempt == 99) Console.Error.WriteLine("vcdsim: the listener did not come back after a cell restart: " + e.Message);
                        Thread.Sleep(20);
                    }
                }
            }
        }

        readonly object listenerGate = new object();
    }

    // Changes that tenants make while an agent works, through the control endpoint: POST /sim/tenant?op=...
    //   create-vm vapp=HREF name=N [power=on|off]   a VM in the vApp (no task)
    //   delete-vm href=H                            the VM goes at once (409 while a task holds it)
    //   power href=H state=on|off|suspended         a power change as a task of taskMs: the VM is busy meanwhile
    //   tag href=H key=K [value=V]                  sets a metadata text; without value the entry goes
    //   create-vapp vdc=HREF name=N [vms=K]          a vApp with K VMs named N-01...
    //   delete-vapp href=H                          the vApp and its VMs go at once (409 while busy)
    // Renames go through POST /sim/rename. Answers: the object as /sim/state describes it, or {"exists":false}.
    static class Tenant
    {
        static string Need(Req r, string key)
        {
            string v = r.Query[key];
            if (string.IsNullOrEmpty(v)) throw new ArgumentException("tenant " + (r.Query["op"] ?? "") + " needs " + key);
            return v;
        }

        static Resp Gone() { return Resp.Json(404, "{\"exists\":false}"); }
        static Resp Busy(Entity e) { return Resp.Json(409, new JsonOut().Obj().Prop("busy", e.Name).EndObj().ToString()); }

        static bool IsBusy(Entity e)
        {
            return e.ActiveTask != null && !e.ActiveTask.Finished;
        }

        static Resp Done(Entity e)
        {
            return Resp.Json(200, new JsonOut().Obj().Prop("exists", true).Prop("id", Refs.Urn(e)).Prop("href", Refs.Href(e))
                .Prop("name", e.Name).EndObj().ToString());
        }

        public static Resp Act(Cloud cloud, Api api, Req r)
        {
            string op = Need(r, "op");
            var b = new Builder(cloud);
            switch (op)
            {
                case "create-vm":
                {
                    var va = cloud.Find<VApp>(Refs.IdOf(Need(r, "vapp")));
                    if (va == null) return Gone();
                    string name = Need(r, "name");
                    if (va.FindVm(name) != null) throw new ArgumentException("the vApp already has a VM named " + name);
                    bool powerOn = r.Query["power"] != "off";
                    Network net = null;
                    foreach (var n in va.Vdc.Networks) { net = n; break; }
                    var vm = b.Vm(va, name, powerOn ? Power.On : Power.Off, powerOn, net, null);
                    b.Add(vm);
                    return Done(vm);
                }
                case "delete-vm":
                {
                    var vm = cloud.Find<Vm>(Refs.IdOf(Need(r, "href")));
                    if (vm == null || vm.IsTemplate) return Gone();
                    if (IsBusy(vm) || IsBusy(vm.Parent)) return Busy(vm);
                    cloud.RemoveVm(vm);
                    return Resp.Json(200, "{\"exists\":false}");
                }
                case "power":
                {
                    var vm = cloud.Find<Vm>(Refs.IdOf(Need(r, "href")));
                    if (vm == null || vm.IsTemplate) return Gone();
                    string state = Need(r, "state");
                    Power p = state == "on" ? Power.On : state == "off" ? Power.Off : state == "suspended" ? Power.Suspended
                        : (Power)(-1);
                    if ((int)p < 0) throw new ArgumentException("state is on, off or suspended");
                    if (IsBusy(vm) || IsBusy(vm.Parent)) return Busy(vm);
                    api.Tasks.Start(api.TenantSession(), vm, "vappPower", "Tenant power change of " + vm.Name,
                        () => { vm.Power = p; vm.Deployed = p != Power.Off; cloud.Changed(); }, vm);
                    return Done(vm);
                }
                case "tag":
                {
                    var vm = cloud.Find<Vm>(Refs.IdOf(Need(r, "href")));
                    if (vm == null || vm.IsTemplate) return Gone();
                    string key = Need(r, "key"), value = r.Query["value"];
                    var m = vm.FindMeta(key);
                    if (string.IsNullOrEmpty(value)) { if (m != null) vm.Meta.Remove(m); }
                    else if (m == null) vm.Meta.Add(new MetaEntry { Key = key, Value = value });
                    else { m.Value = value; m.Type = "STRING"; }
                    cloud.Changed();
                    return Done(vm);
                }
                case "create-vapp":
                {
                    var vdc = cloud.Find<Vdc>(Refs.IdOf(Need(r, "vdc")));
                    if (vdc == null) return Gone();
                    string name = Need(r, "name");
                    foreach (var other in vdc.VApps)
                        if (other.Name == name) throw new ArgumentException("the VDC already has a vApp named " + name);
                    int vms;
                    if (!int.TryParse(r.Query["vms"] ?? "1", NumberStyles.Integer, CultureInfo.InvariantCulture, out vms) || vms < 0 || vms > 50)
                        throw new ArgumentException("vms needs a whole number from 0 to 50");
                    User owner = null;
                    foreach (var u in cloud.Users) if (u.Org == vdc.Org) { owner = u; break; }
                    var va = b.VApp(vdc, name, owner, "");
                    Network net = null;
                    foreach (var n in vdc.Networks) { net = n; break; }
                    for (int k = 1; k <= vms; k++)
                        b.Add(b.Vm(va, name + "-" + k.ToString("00", CultureInfo.InvariantCulture), Power.On, true, net, null));
                    return Done(va);
                }
                case "delete-vapp":
                {
                    var va = cloud.Find<VApp>(Refs.IdOf(Need(r, "href")));
                    if (va == null) return Gone();
                    if (IsBusy(va)) return Busy(va);
                    foreach (var vm in va.Vms) if (IsBusy(vm)) return Busy(vm);
                    cloud.RemoveVApp(va);
                    return Resp.Json(200, "{\"exists\":false}");
                }
            }
            throw new ArgumentException("unknown tenant op '" + op + "'");
        }
    }
}
