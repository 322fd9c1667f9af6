// Prints the managed wrapper's enumerations (every member, found by reflection) and its templates bit,
// one "Type.name=value" line each, for comparison with the native records header.
using System;
using System.Reflection;

static class ManagedEnums
{
    static int Main()
    {
        var wrapper = Assembly.Load("vCloudSDKWrapper");
        foreach (var name in new[] { "EInventoryType", "EFilterType" })
        {
            var type = wrapper.GetType("vCloudSDKWrapper." + name, true);
            foreach (var member in Enum.GetNames(type))
                Console.WriteLine("{0}.{1}={2}", name, member, Convert.ToInt64(Enum.Parse(type, member)));
        }
        var bit = wrapper.GetType("vCloudSDKWrapper.vCloudWrapper", true)
            .GetField("IncludePublicTemplates", BindingFlags.NonPublic | BindingFlags.Static);
        if (bit == null) { Console.Error.WriteLine("vCloudWrapper.IncludePublicTemplates not found"); return 1; }
        Console.WriteLine("Mask.IncludePublicTemplates={0}", Convert.ToUInt64(bit.GetRawConstantValue()));
        return 0;
    }
}
