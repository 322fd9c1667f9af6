// The groups of checks of a C# test program: each runs by its name, all of them or only the one that
// --group names, and an exception ends its own group, not the program.
using System;

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
    }
}
