// One logged-in session's values: endpoint, negotiated version, the authentication header, the user.
using System;

namespace vCloudSDKWrapper
{
    // One logged-in session. Immutable: a new login makes a new object, so concurrent operations
    // always see a consistent set of values.
    internal sealed class Session
    {
        public Uri Root;                 // the configured endpoint, e.g. https://vcd.example.test/
        public ApiVersionNumber Version; // negotiated API version, sent in every Accept header
        public ApiVersionNumber ServerHighest;
        public string AuthName = "";     // the one authentication header and its value
        public string AuthValue = "";
        public bool Cloudapi;            // logged in through /cloudapi (else /api/sessions)
        public string CloudapiSessionId = "";
        public bool IsSystem;
        public string OrgName = "";
        public string OrgHref = "";
        public string UserName = "";
        public string Login = "";        // user@org, for messages

        public string XmlAccept { get { return "application/*+xml;version=" + Version.Text; } }
    }
}
