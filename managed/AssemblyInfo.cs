// Identity of the managed wrapper assembly.
using System.Reflection;

[assembly: AssemblyTitle("vCloudSDKWrapper")]
[assembly: AssemblyDescription("vCloud Director REST API client for vCloudSDKCppBridge")]
[assembly: AssemblyVersion("1.0.0.0")]
[assembly: AssemblyFileVersion("1.0.0.0")]
// The recorder (vcbrecord.exe) walks a cloud through this assembly's transport, with its limits and checks.
[assembly: System.Runtime.CompilerServices.InternalsVisibleTo("vcbrecord")]
// The wrapper tests check the transport's own rules (Retry-After, certificate chains) and the identities
// that query walks de-duplicate records by directly.
[assembly: System.Runtime.CompilerServices.InternalsVisibleTo("wrappertests")]
