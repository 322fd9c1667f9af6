// VMs created and deleted while the wrapper pages through them (the simulator's churn fault): every VM that
// existed for the whole listing comes back exactly once, or the listing fails; never a list with a hole.
//
// mono churntests.exe --sim <vcdsim.exe>
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Linq;
using vCloudSDKWrapper;

namespace WrapperTests
{
    static class ChurnProgram
    {
        static int Main(string[] args)
        {
            string simExe = "";
            for (int i = 0; i + 1 < args.Length; i += 2)
                if (args[i] == "--sim") simExe = args[i + 1];
            if (simExe.Length == 0) { Console.WriteLine("usage: --sim <vcdsim.exe>"); return 2; }
            var sw = Stopwatch.StartNew();
            Check.Group = "churn";
            int whole = 0, refused = 0;
            using (var sim = new Sim(simExe, "--task-ms 30 --generate 2,2,5,40"))
            {
                foreach (int pageSize in new[] { 128, 50, 25 })
                {
                    foreach (int churn in new[] { 1, 4 })
                    {
                        string round = "pages of " + pageSize + ", " + churn + " VMs replaced per page";
                        var w = new vCloudWrapper();
                        Check.That(w.Initialize("", "allowHttp=true;retries=0;httpTimeout=30s;pageSize=" + pageSize, 0), round + ": Initialize", w.getLastErrorString());
                        Check.That(w.Login(sim.Url, "administrator@System", "vmware1!"), round + ": Login", w.getLastErrorString());

                        sim.Faults("churn=0");
                        var before = Uuids(w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0));
                        sim.Faults("churn=" + churn);
                        var during = w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0);
                        string why = w.getLastErrorString();
                        sim.Faults("churn=0");
                        var after = Uuids(w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0));
                        Check.That(before != null && after != null, round + ": listings without churn succeed", w.getLastErrorString());
                        if (before == null || after == null) continue;
                        Check.That(!before.SequenceEqual(after), round + ": the inventory did change during the listing");

                        var throughout = new HashSet<string>(before.Intersect(after));
                        if (during == null)
                        {
                            refused++;
                            Check.Contains(why, "incomplete", round + ": a listing that cannot be made whole fails and says so");
                            continue;
                        }
                        whole++;
                        var got = during.Select(v => v.uuid).ToList();
                        Check.Equal(got.Count, got.Distinct().Count(), round + ": no VM twice");
                        var missing = throughout.Where(u => !got.Contains(u)).ToList();
                        Check.That(missing.Count == 0, round + ": every VM that existed throughout is listed",
                            missing.Count + " of " + throughout.Count + " missing, e.g. " + string.Join(", ", missing.Take(3).ToArray()));
                        w.Logout();
                    }
                }
            }
            Console.WriteLine("churn rounds: " + whole + " listed whole, " + refused + " refused; took "
                + sw.Elapsed.TotalSeconds.ToString("0.0") + " s");
            Console.WriteLine(Check.Passed + " passed, " + Check.Failed + " failed");
            return Check.Failed == 0 ? 0 : 1;
        }

        static List<string> Uuids(SVMInfoLibList list)
        {
            return list == null ? null : list.Select(v => v.uuid).OrderBy(u => u, StringComparer.Ordinal).ToList();
        }
    }
}
