// An assembly with the wrapper's name but without its vCloudWrapper class: the runtime starts, the
// wrapper object cannot be made.
namespace vCloudSDKWrapper
{
    public class SomethingElse
    {
        public bool Initialize(string a, string b, ulong c) { return true; }
    }
}
