// One logged-in session's values: endpoint, negotiated version, the authentication header, the user;
// and the renewal that logs in again when the server ends a session.
using System;

namespace vCloudSDKWrapper
{
    // One logged-in session. Immutable once published: a new login makes a new object, so concurrent
    // operations always see a consistent set of values.
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
        // When an access token from an API token is to be renewed (its expires_in, less a margin);
        // MaxValue when the server said nothing.
        public DateTime RenewAfter = DateTime.MaxValue;
        public Renewal Renewal;          // null for a login's own requests

        public string XmlAccept { get { return "application/*+xml;version=" + Version.Text; } }
    }

    // What a connection logged in with, held only while it is connected, so that a session the server
    // ends (a 401, or an access token past its lifetime) is replaced by one new login. Concurrent requests
    // that meet the same ended session wait for that one login and then use its session; a login that
    // fails fails them all with its text, without a second attempt.
    internal sealed class Renewal
    {
        private readonly object gate = new object();
        private string url, user, secret;
        private volatile Session current;
        private CloudException failure;  // of the last login attempt, null when it succeeded
        private int attempts;             // login attempts made, the first login's excluded
        private int logins;

        public Renewal(string url, string user, string secret)
        {
            this.url = url;
            this.user = user;
            this.secret = secret;
        }

        // The newest session of this connection.
        public Session Current { get { return current; } }

        // New logins made after the first.
        public int Logins { get { lock (gate) return logins; } }

        public bool Live { get { return System.Threading.Volatile.Read(ref secret) != null; } }

        // Taken before a request goes out: a login attempt made after it was answered for that request too.
        public int Attempts { get { lock (gate) return attempts; } }

        public void Start(Session first)
        {
            first.Renewal = this;
            current = first;
        }

        // Forgets the credentials: after Logout, or when the connection is replaced.
        public void Drop()
        {
            lock (gate)
            {
                url = user = secret = null;
                failure = null;
            }
        }

        // The session to repeat a request with after 'ended' failed: a new one from one new login, or the
        // one another request already obtained. A request that was in flight while a new login failed
        // fails with it. Null when the credentials are gone.
        // A new session that the server refused at once: the request repeated in it met 401 again. The
        // requests that were already under way then log in no more for it, and report the server's answer;
        // a request made later may try once more.
        private Session refusedAtOnce;
        private int refusals;

        // How many new sessions were refused at once so far; a request takes it when it starts.
        public int Refusals { get { lock (gate) return refusals; } }

        public void RefusedAtOnce(Session s)
        {
            lock (gate)
            {
                if (current != s) return;
                refusedAtOnce = s;
                refusals++;
            }
        }

        public Session Renew(RestClient http, Session ended, string why, int attemptsBefore, int refusalsBefore = int.MaxValue)
        {
            lock (gate)
            {
                if (current != ended) return current;
                if (ended == refusedAtOnce && refusalsBefore < refusals) return null;
                if (attempts != attemptsBefore && failure != null) throw failure;
                if (secret == null) return null;
                attempts++;
                failure = null;
                http.Log.Info(1, "the session of " + ended.Login + " ended (" + why + "); logging in again");
                try
                {
                    var s = Connection.Login(http, url, user, secret, ended.Version);
                    s.Renewal = this;
                    logins++;
                    current = s;
                    http.Log.Info(1, "logged in again as " + s.Login + " (API " + s.Version + ")");
                    return s;
                }
                catch (CloudException e)
                {
                    failure = new CloudException("the session ended (" + why + ") and logging in again failed: " + e.Message, e.Status, e.MinorCode);
                    throw failure;
                }
            }
        }
    }
}
