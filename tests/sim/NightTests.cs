// What a long agent run needs of the simulator: the VM journal, the open-session count, the cell restart,
// tenants' changes, and churn that leaves VMs held by a task alone.
using System;
using System.Collections.Generic;
using System.Linq;
using System.Threading;
using static VcdSimTests.Tally;

namespace VcdSimTests
{
    static class NightChecks
    {
        static Dictionary<string, object> Obj(Answer a) { return Json.Parse(a.Body) as Dictionary<string, object>; }

        static double Num(Answer a, string key) { return (double)Obj(a)[key]; }

        // The journal's lines after `after`, each split into its columns; the first line's columns in `now`.
        static List<string[]> Journal(Client c, int after, out string[] now)
        {
            var a = c.Control("GET", "journal?after=" + after);
            var lines = a.Body.Split(new[] { '\n' }, StringSplitOptions.RemoveEmptyEntries).Select(l => l.Split('\t')).ToList();
            now = lines.Count > 0 ? lines[0] : new string[0];
            return lines.Skip(1).ToList();
        }

        static string Uuid(string href) { return href.Substring(href.Length - 36); }

        public static void Run(string exe)
        {
            using (var s = new Sim(exe, "--generate 1,1,2,2 --task-ms 400"))
            {
                var c = new Client(s);
                Journaling(c);
                Sessions(s, c);
                CellRestart(s, c);
                Tenants(c);
            }
            using (var s = new Sim(exe, "--generate 1,1,1,6 --task-ms 3000"))
                ChurnSparesBusyVms(s);
        }

        static void Journaling(Client c)
        {
            Check(c.Control("GET", "journal").Status == 409, "the journal is off until started");
            string[] now;
            var first = c.Control("POST", "journal");
            Check(first.Status == 200 && first.Body.StartsWith("now\t", StringComparison.Ordinal), "starting the journal answers its lines", first.ToString());
            var start = Journal(c, 0, out now);
            Equal(4, start.Count, "every VM is written once when the journal starts");
            Check(start.All(l => l[2] == "add" && l.Length == 16), "as an add with all its columns");
            Check(now[2] == "4", "the now line says where the next request starts", string.Join("|", now));
            var vm1 = start.First(l => l[4] == "vm-000001");
            Check(vm1[9] == "Org001-VDC01" && vm1[10] == "Org001" && vm1[11].StartsWith("vm-") && (vm1[12] == "vc-01" || vm1[12] == "vc-02"),
                  "a line names the VM's VDC, organisation, moref and vCenter", string.Join("|", vm1));
            long t0 = long.Parse(now[1]);

            var vapp = vm1[6];
            Check(c.Control("POST", "tenant?op=create-vm&vapp=urn:vcloud:vapp:" + vapp + "&name=t%3B1&power=off").Status == 200, "a tenant creates a VM");
            var href = "urn:vcloud:vm:" + vm1[3];
            c.Control("POST", "rename?href=" + href + "&name=renamed-01");
            c.Control("POST", "tenant?op=tag&href=" + href + "&key=backup-policy&value=gold");
            var more = Journal(c, 4, out now);
            Equal(3, more.Count, "each change is one line, and only the lines after the one asked for come");
            Check(more[0][2] == "add" && more[0][4] == "t\\;1" && more[0][14] == "off", "a new VM: its escaped name and power state", string.Join("|", more[0]));
            Check(more[1][2] == "set" && more[1][3] == vm1[3] && more[1][4] == "renamed-01", "a rename is a set line with the new name");
            Check(more[2][2] == "set" && more[2][15].Contains("backup-policy=gold"), "a tag is a set line with the metadata", string.Join("|", more[2]));
            Check(more.All(l => long.Parse(l[1]) >= t0) && long.Parse(now[1]) >= long.Parse(more[2][1]),
                  "times only grow, and the now line is not before the last change");
            Check(c.Control("POST", "tenant?op=delete-vm&href=" + href).Status == 200, "a tenant deletes a VM");
            var del = Journal(c, 7, out now);
            Check(del.Count == 1 && del[0][2] == "del" && del[0][3] == vm1[3] && del[0].Length == 4, "a delete is a del line with the id only");
        }

        static void Sessions(Sim s, Client c)
        {
            var before = c.Control("GET", "sessions");
            Check(Num(before, "open") == 0 && Num(before, "made") == 0, "no session before a login", before.Body);
            var admin = new Client(s).Login("administrator", "System", "vmware1!");
            var one = c.Control("GET", "sessions");
            Check(Num(one, "open") == 1 && Num(one, "made") == 1, "a login is an open session", one.Body);
            c.Control("POST", "faults?tokenExpiresAfter=1");
            Check(admin.Get("api/org").Status == 200, "the last request the session has left");
            var spent = c.Control("GET", "sessions");
            Check(Num(spent, "open") == 0 && Num(spent, "ended") == 0, "a session with no requests left is not open, even before a request finds it so", spent.Body);
            Check(admin.Get("api/org").Status == 401, "the next request finds it ended");
            var ended = c.Control("GET", "sessions");
            Check(Num(ended, "ended") == 1 && Num(ended, "open") == 0, "and it is counted as ended once", ended.Body);
            admin.Get("api/org");
            Equal(1.0, Num(c.Control("GET", "sessions"), "ended"), "a second request on it ends nothing more");
            c.Control("POST", "faults/reset");
            var leaving = new Client(s).Login("administrator", "System", "vmware1!");
            Check(leaving.Delete("cloudapi/1.0.0/sessions/current").Status == 204, "a client logs out");
            var left = c.Control("GET", "sessions");
            Check(Num(left, "loggedOut") == 1 && Num(left, "ended") == 1 && Num(left, "open") == 0,
                  "a logout is counted as such, not as a session the server ended", left.Body);
        }

        static void CellRestart(Sim s, Client c)
        {
            var a = new Client(s).Login("administrator", "System", "vmware1!");
            var b = new Client(s).Login("administrator", "System", "vmware1!");
            double endedBefore = Num(c.Control("GET", "sessions"), "ended");
            int vms = (int)Num(c.Control("GET", "state"), "vms");
            var r = c.Control("POST", "cell-restart");
            Check(r.Status == 200 && Num(r, "sessionsEnded") == 2, "a cell restart ends every open session", r.ToString());
            Answer after = null;
            for (int i = 0; i < 50; i++)
            {
                Thread.Sleep(100);
                after = c.Control("GET", "sessions");
                if (after.Status == 200 && Num(after, "cellRestarts") == 1) break;
            }
            Check(after != null && after.Status == 200 && Num(after, "open") == 0 && Num(after, "ended") == endedBefore + 2,
                  "the server answers again on the same port, with no session open", after == null ? "" : after.ToString());
            Check(a.Get("api/org").Status == 401 && b.Get("api/org").Status == 401, "the old sessions' tokens are refused");
            var again = new Client(s).Login("administrator", "System", "vmware1!");
            Check(again.Get("api/org").Status == 200, "a new login works after the restart");
            Equal(vms, (int)Num(c.Control("GET", "state"), "vms"), "the inventory is kept");
            c.Control("POST", "cell-restart");
            Thread.Sleep(300);
            c.Control("POST", "cell-restart");
            Thread.Sleep(300);
            Check(new Client(s).Login("administrator", "System", "vmware1!").Get("api/org").Status == 200, "and after restarts one after another");

            // A login under way when the cell restarts makes its session after the restart began and loses
            // its answer: that session ends with the others, or no client could ever end it.
            double made = Num(c.Control("GET", "sessions"), "made");
            c.Control("POST", "faults?latencyMs=1500&path=/cloudapi/");
            var pending = System.Threading.Tasks.Task.Run(() => new Client(s).TryLogin("administrator", "System", "vmware1!", true));
            Thread.Sleep(500);
            c.Control("POST", "cell-restart");
            try { pending.Wait(20000); } catch (Exception) { }
            Answer late = null;
            for (int i = 0; i < 60; i++)
            {
                Thread.Sleep(100);
                late = c.Control("GET", "sessions");
                if (late.Status == 200 && Num(late, "made") > made && Num(late, "open") == 0) break;
            }
            Check(late != null && late.Status == 200 && Num(late, "made") == made + 1 && Num(late, "open") == 0,
                  "a login under way when the cell restarts leaves no session open", late == null ? "" : late.ToString());
            c.Control("POST", "faults/reset");
        }

        static void Tenants(Client c)
        {
            var state = Json.Parse(c.Control("GET", "state?name=vm-000002&kind=vm").Body) as List<object>;
            var vm = state[0] as Dictionary<string, object>;
            string href = (string)vm["href"];
            string to = (string)vm["powerState"] == "on" ? "off" : "on";
            Check(c.Control("POST", "tenant?op=power&href=" + href + "&state=" + to).Status == 200, "a tenant's power change starts");
            Check(c.State(href)["busy"] is bool && (bool)c.State(href)["busy"], "the VM is busy while it runs");
            Check(c.Control("POST", "tenant?op=delete-vm&href=" + href).Status == 409, "a busy VM is not deleted");
            Check(c.Control("POST", "tenant?op=power&href=" + href + "&state=" + to).Status == 409, "nor changed again");
            for (int i = 0; i < 40 && (bool)c.State(href)["busy"]; i++) Thread.Sleep(50);
            Equal(to, (string)c.State(href)["powerState"], "the power state changes when the task ends");

            var vdcs = Json.Parse(c.Control("GET", "state?name=Org001-VDC01").Body) as List<object>;
            string vdcHref = (string)((Dictionary<string, object>)vdcs[0])["href"];
            var made = c.Control("POST", "tenant?op=create-vapp&vdc=" + vdcHref + "&name=tv-1&vms=2");
            Check(made.Status == 200, "a tenant creates a vApp", made.ToString());
            string vappHref = (string)Obj(made)["href"];
            var va = c.State(vappHref);
            Check(((List<object>)va["vms"]).Cast<string>().SequenceEqual(new[] { "tv-1-01", "tv-1-02" }), "with its VMs", string.Join(",", ((List<object>)va["vms"]).Cast<string>()));
            Check(c.Control("POST", "tenant?op=create-vapp&vdc=" + vdcHref + "&name=tv-1").Status == 400, "a vApp name is unique in its VDC");
            Check(c.Control("POST", "tenant?op=delete-vapp&href=" + vappHref).Status == 200 && !(bool)c.State(vappHref)["exists"], "and deletes it");
            Check(c.Control("POST", "tenant?op=delete-vm&href=" + href.Replace(Uuid(href), "00000000-0000-4000-8000-000000000000")).Status == 404,
                  "a VM that is not there: 404");
            Check(c.Control("POST", "tenant?op=dance").Status == 400, "an unknown tenant op: 400");

            // Tags: set, changed, removed by an empty value; a VM name is unique in its vApp.
            var vm3 = (Dictionary<string, object>)((List<object>)Json.Parse(c.Control("GET", "state?name=vm-000003&kind=vm").Body))[0];
            string h3 = (string)vm3["href"];
            c.Control("POST", "tenant?op=tag&href=" + h3 + "&key=backup-policy&value=silver");
            Equal("silver", (string)((Dictionary<string, object>)c.State(h3)["metadata"])["backup-policy"], "a tenant tags a VM");
            c.Control("POST", "tenant?op=tag&href=" + h3 + "&key=backup-policy&value=gold");
            Equal("gold", (string)((Dictionary<string, object>)c.State(h3)["metadata"])["backup-policy"], "and changes the tag");
            c.Control("POST", "tenant?op=tag&href=" + h3 + "&key=backup-policy");
            Check(!((Dictionary<string, object>)c.State(h3)["metadata"]).ContainsKey("backup-policy"), "and removes it with no value");
            string parent = (string)vm3["parent"];
            Check(c.Control("POST", "tenant?op=create-vm&vapp=" + parent + "&name=vm-000003").Status == 400, "a second VM of the same name in a vApp: 400");
            var on = c.Control("POST", "tenant?op=create-vm&vapp=" + parent + "&name=t-on");
            var off = c.Control("POST", "tenant?op=create-vm&vapp=" + parent + "&name=t-off&power=off");
            Equal("on", (string)c.State((string)Obj(on)["href"])["powerState"], "a tenant's VM is on unless asked otherwise");
            Equal("off", (string)c.State((string)Obj(off)["href"])["powerState"], "or off when asked");
        }

        // Churn deletes the VMs first in name order; the first one is held by a task, so the next one goes.
        static void ChurnSparesBusyVms(Sim s)
        {
            var c = new Client(s);
            var admin = new Client(s).Login("administrator", "System", "vmware1!");
            var first = (Dictionary<string, object>)((List<object>)Json.Parse(c.Control("GET", "state?name=vm-000001&kind=vm").Body))[0];
            string href = (string)first["href"];
            Check(c.Control("POST", "tenant?op=power&href=" + href + "&state=" + ((string)first["powerState"] == "on" ? "off" : "on")).Status == 200,
                  "a task holds vm-000001");
            c.Control("POST", "faults?churn=1&churnFront=true");
            admin.Get("api/query?type=adminVM&pageSize=2&page=1");
            admin.Get("api/query?type=adminVM&pageSize=2&page=2");
            Check((bool)c.State(href)["exists"], "churn leaves a VM that a task holds");
            var second = (List<object>)Json.Parse(c.Control("GET", "state?name=vm-000002&kind=vm").Body);
            Equal(0, second.Count, "and deletes the next one in name order instead");
            c.Control("POST", "faults/reset");
        }
    }
}
