// The groups of checks of a C# test program: each runs by its name, all of them or only the one that
// --group names, and an exception ends its own group, not the program.
using System;
using System.Collections.Generic;
using System.Linq;

namespace TestGroups
{
    static class Groups
    {
        public static string Only;   // --group: the one group to run; all of them without it
        public static int Ran;       // groups run so far; none at the end means --group named no group

        public static bool Wanted(string name) { return Only == null || Only == name; }

        // Runs body as the group 'name' when that group is wanted. enter names the group for the checks
        // that follow; failed records the exception that ended it early.
        public static void Run(string name, Action<string> enter, Action body, Action<Exception> failed)
        {
            if (!Wanted(name)) return;
            Ran++;
            enter(name);
            try { body(); }
            catch (Exception e) { failed(e); }
        }

        // Runs the wanted ones of groups that share one resource (a simulator), which start makes only when
        // one of them is wanted; run is the program's own Run for a single group.
        public static void RunSharing<T>(KeyValuePair<string, Action<T>>[] groups, Func<T> start, Action<string, Action> run)
            where T : IDisposable
        {
            if (!groups.Any(g => Wanted(g.Key))) return;
            using (var shared = start())
                foreach (var g in groups) run(g.Key, () => g.Value(shared));
        }

        public static KeyValuePair<string, Action<T>> Sharing<T>(string name, Action<T> body)
        {
            return new KeyValuePair<string, Action<T>>(name, body);
        }

        // False, with a line that says so, when --group named a group the program does not have.
        public static bool AllFound()
        {
            if (Ran > 0) return true;
            Console.WriteLine("no group named '" + Only + "'");
            return false;
        }
    }
}
