// Lists every VM of a cloud through the managed wrapper alone, with no native bridge in between, so that
// Mono's log profiler and perf see the managed read path (HTTP, XML reading, record building) by itself.
//
//   mono [--profile=log:...] [--jitmap] ListDriver.exe URL USER PASSWORD [OPTIONS] [RUNS]
using System;
using System.Diagnostics;
using vCloudSDKWrapper;

internal static class ListDriver
{
    private static int Main(string[] args)
    {
        if (args.Length < 3)
        {
            Console.Error.WriteLine("usage: ListDriver.exe URL USER PASSWORD [OPTIONS] [RUNS]");
            return 2;
        }
        string options = args.Length > 3 ? args[3] : "allowHttp=true";
        int runs = args.Length > 4 ? int.Parse(args[4]) : 1;
        var wrapper = new vCloudWrapper();
        if (!wrapper.Initialize("", options, 0) || !wrapper.Login(args[0], args[1], args[2]))
        {
            Console.Error.WriteLine("login failed: " + wrapper.getLastErrorString());
            return 1;
        }
        for (int run = 0; run < runs; run++)
        {
            var process = Process.GetCurrentProcess();
            var cpu = process.TotalProcessorTime;
            var watch = Stopwatch.StartNew();
            var list = wrapper.GetVMStructListForEntity("", EInventoryType.eInventoryCloud, 0, 0);
            watch.Stop();
            process.Refresh();
            if (list == null)
            {
                Console.Error.WriteLine("listing failed: " + wrapper.getLastErrorString());
                return 1;
            }
            Console.WriteLine("{0} VMs in {1} ms wall, {2} ms CPU", list.Count, watch.ElapsedMilliseconds,
                (long)(process.TotalProcessorTime - cpu).TotalMilliseconds);
        }
        wrapper.Logout();
        return 0;
    }
}
