// VMs created and deleted while the wrapper pages through them (the simulator's churn fault): a listing
// whose churn ends with its first attempts comes back whole, every VM that existed for the whole listing
// exactly once; one that churn breaks on every attempt fails as incomplete. Never a list with a hole.
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
                // Random churn during the first listing only: whatever that listing met, the next one is clean, so
                // the wrapper's own second attempt must make the list whole.
                foreach (int pageSize in new[] { 128, 50, 25 })
                    foreach (int churn in new[] { 1, 4 })
                        Round(sim, "pages of " + pageSize + ", " + churn + " VMs replaced per page in the first listing",
                            pageSize, "churn=" + churn + "&churnWalks=1", true, ref whole, ref refused);
                // The first VMs in name order replaced before every page: the second window never joins the first.
                // Two such listings are made whole by the third attempt; three or more leave the list incomplete.
                Round(sim, "the first 8 VMs replaced before each page of the first listing", 128, "churn=8&churnFront=true&churnWalks=1", true, ref whole, ref refused);
                Round(sim, "the first 8 VMs replaced before each page of two listings", 128, "churn=8&churnFront=true&churnWalks=2", true, ref whole, ref refused);
                Round(sim, "the first 8 VMs replaced before each page of three listings", 128, "churn=8&churnFront=true&churnWalks=3", false, ref whole, ref refused);
                Round(sim, "the first VM replaced before every page of every listing", 25, "churn=1&churnFront=true", false, ref whole, ref refused);
            }
            Console.WriteLine("churn rounds: " + whole + " listed whole, " + refused + " refused; took "
                + sw.Elapsed.TotalSeconds.ToString("0.0") + " s");
            Console.WriteLine(Check.Passed + " passed, " + Check.Failed + " failed");
            return Check.Failed == 0 ? 0 : 1;
        }

        // One listing under the churn that 'faults' sets. It must come back whole (no VM twice, every VM that
        // existed throughout the listing) when 'mustBeWhole', and must fail as incomplete otherwise.
        static void Round(Sim sim, string round, int pageSize, string faults, bool mustBeWhole, ref int whole, ref int refused)
        {
            var w = new vCloudWrapper();
            Check.That(w.Initialize("", "allowHttp=true;retries=0;httpTimeout=30s;pageSize=" + pageSize, 0), round + ": Initialize", w.getLastErrorString());
            Check.That(w.Login(sim.Url, "administrator@System", "vmware1!"), round + ": Login", w.getLastErrorString());

            sim.Faults("churn=0");
            var before = Uuids(w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0));
            sim.Faults(faults);
            var during = w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0);
            string why = w.getLastErrorString();
            sim.Reset();
            var after = Uuids(w.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0));
            w.Logout();
            Check.That(before != null && after != null, round + ": listings without churn succeed", w.getLastErrorString());
            if (before == null || after == null) return;
            Check.That(!before.SequenceEqual(after), round + ": the inventory did change during the listing");

            if (!mustBeWhole)
            {
                if (during == null) refused++;
                Check.That(during == null, round + ": a listing that cannot be made whole fails",
                    during == null ? "" : "true with " + during.Count + " VMs");
                Check.Contains(why, "incomplete", round + ": and says the list is incomplete");
                return;
            }
            if (!Check.That(during != null, round + ": the listing is made whole", why)) return;
            whole++;
            var throughout = new HashSet<string>(before.Intersect(after));
            var got = during.Select(v => v.uuid).ToList();
            Check.Equal(got.Count, got.Distinct().Count(), round + ": no VM twice");
            var missing = throughout.Where(u => !got.Contains(u)).ToList();
            Check.That(missing.Count == 0, round + ": every VM that existed throughout is listed",
                missing.Count + " of " + throughout.Count + " missing, e.g. " + string.Join(", ", missing.Take(3).ToArray()));
        }

        static List<string> Uuids(SVMInfoLibList list)
        {
            return list == null ? null : list.Select(v => v.uuid).OrderBy(u => u, StringComparer.Ordinal).ToList();
        }
    }
}
