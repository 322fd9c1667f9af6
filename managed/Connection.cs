// Version negotiation, login and logout.
using System;
using System.Collections.Generic;
using System.Linq;
using System.Net.Http;
using System.Text;
using System.Xml.Linq;

namespace vCloudSDKWrapper
{
    internal static class Connection
    {
        // The API versions this wrapper is written for. Within this range the XML API it uses is stable.
        public static readonly ApiVersionNumber Lowest = ApiVersionNumber.Parse("29.0");
        public static readonly ApiVersionNumber Highest = ApiVersionNumber.Parse("39.0");

        // Accepts https://host, https://host/, https://host/api and https://host/prefix/api.
        public static Uri ParseEndpoint(string url, WrapperOptions opt)
        {
            Uri u;
            string text = (url ?? "").Trim();
            if (text.Length == 0) throw new CloudException("no URL given");
            if (!Uri.TryCreate(text, UriKind.Absolute, out u) || (u.Scheme != Uri.UriSchemeHttps && u.Scheme != Uri.UriSchemeHttp))
                throw new CloudException("'" + text + "' is not an https:// URL");
            if (u.UserInfo.Length > 0) throw new CloudException("the URL must not carry credentials");
            RestClient.CheckScheme(u, opt);
            string path = u.AbsolutePath.TrimEnd('/');
            foreach (var suffix in new[] { "/api", "/cloudapi" })
                if (path.EndsWith(suffix, StringComparison.OrdinalIgnoreCase)) path = path.Substring(0, path.Length - suffix.Length);
            return new Uri(u.GetLeftPart(UriPartial.Authority) + path + "/");
        }

        // The versions the server offers: (version, deprecated), from GET /api/versions.
        public static List<KeyValuePair<ApiVersionNumber, bool>> ServerVersions(RestClient http, Uri root)
        {
            var uri = new Uri(root, "api/versions");
            var r = http.Send(HttpMethod.Get, uri, null, "application/*+xml", null, null, "GET /api/versions");
            if (r.Status != 200) throw RestClient.Failure(r);
            var doc = RestClient.Document(r);
            X.ExpectRoot(doc, Ns.Versions, "SupportedVersions", "GET /api/versions");
            var result = new List<KeyValuePair<ApiVersionNumber, bool>>();
            foreach (var info in doc.Root.Elements(Ns.Versions + "VersionInfo"))
            {
                var v = ApiVersionNumber.Parse(info.ChildText(Ns.Versions, "Version"));
                if (v != null) result.Add(new KeyValuePair<ApiVersionNumber, bool>(v, info.Attr("deprecated") == "true"));
            }
            if (result.Count == 0) throw new CloudException("GET /api/versions: the server lists no API versions");
            return result;
        }

        // The highest version both sides support, preferring versions the server does not mark
        // deprecated; or the configured one, when the server offers it.
        public static ApiVersionNumber Choose(List<KeyValuePair<ApiVersionNumber, bool>> offered, string configured)
        {
            string list = string.Join(", ", offered.Select(p => p.Key.Text).ToArray());
            if (configured.Length > 0)
            {
                var want = ApiVersionNumber.Parse(configured);
                foreach (var p in offered) if (p.Key.CompareTo(want) == 0) return p.Key;
                throw new CloudException("the server does not offer the configured API version " + configured + " (it offers " + list + ")");
            }
            var usable = offered.Where(p => p.Key.CompareTo(Lowest) >= 0 && p.Key.CompareTo(Highest) <= 0).ToList();
            if (usable.Count == 0)
                throw new CloudException("no common API version: the server offers " + list + ", this wrapper supports " + Lowest + " to " + Highest);
            var current = usable.Where(p => !p.Value).ToList();
            return (current.Count > 0 ? current : usable).Select(p => p.Key).Max();
        }

        // Logs in with a password, or with auth=apiToken an API token. 'pinned', when given, is the version
        // a renewed session must keep: the requests it repeats were built for it.
        public static Session Login(RestClient http, string url, string user, string password, ApiVersionNumber pinned = null)
        {
            var opt = http.Options;
            var root = ParseEndpoint(url, opt);
            string login = (user ?? "").Trim();
            int at = login.LastIndexOf('@');
            if (at <= 0 || at == login.Length - 1)
                throw new CloudException("the user must be given as user@organisation, not '" + login + "'");
            string org = login.Substring(at + 1);
            bool provider = string.Equals(org, "System", StringComparison.OrdinalIgnoreCase);

            var offered = ServerVersions(http, root);
            var version = Choose(offered, pinned != null ? pinned.Text : opt.ApiVersion);
            var s = new Session
            {
                Root = root,
                Version = version,
                ServerHighest = offered.Select(p => p.Key).Max(),
                Login = login
            };
            if (opt.ApiToken) TokenLogin(http, s, org, provider, password ?? "");
            else
            {
                string basic = "Basic " + Convert.ToBase64String(Encoding.UTF8.GetBytes(login + ":" + (password ?? "")));
                if (version.AtLeast(33)) CloudapiLogin(http, s, basic, provider);
                else LegacyLogin(http, s, basic);
            }

            // The XML session document tells who we are and confirms the token works on the XML API.
            var api = new Api(s, http);
            XElement session;
            try
            {
                session = api.Get("api/session").Root;
                if (session == null || session.Name != Ns.Vcloud + "Session")
                    throw new CloudException("GET /api/session: expected a Session element");
            }
            catch (CloudException)
            {
                // A login that cannot be used is not left open on the server.
                try { Logout(http, s); } catch (CloudException) { }
                throw;
            }
            s.OrgName = session.Attr("org").Length > 0 ? session.Attr("org") : org;
            s.UserName = session.Attr("user");
            s.IsSystem = string.Equals(s.OrgName, "System", StringComparison.OrdinalIgnoreCase);
            foreach (var link in session.Links())
                if (X.MediaTypeIs(link.Attr("type"), "application/vnd.vmware.vcloud.org+xml")
                    && string.Equals(link.Attr("name"), s.OrgName, StringComparison.OrdinalIgnoreCase))
                    s.OrgHref = link.Attr("href");
            return s;
        }

        private static void CloudapiLogin(RestClient http, Session s, string basic, bool provider)
        {
            string path = provider ? "cloudapi/1.0.0/sessions/provider" : "cloudapi/1.0.0/sessions";
            var r = Post(http, s, path, basic);
            // A provider endpoint that a server does not know yet: the tenant endpoint takes System there.
            if (provider && (r.Status == 404 || r.Status == 405))
                r = Post(http, s, "cloudapi/1.0.0/sessions", basic);
            if (r.Status == 401 || r.Status == 403)
                throw new CloudException("login refused for " + s.Login + ": wrong user name, organisation or password (HTTP " + r.Status + ")", r.Status, "");
            if (r.Status != 200 && r.Status != 201) throw RestClient.Failure(r);
            string token;
            if (!r.Headers.TryGetValue("X-VMWARE-VCLOUD-ACCESS-TOKEN", out token) || token.Trim().Length == 0)
                throw new CloudException(r.What + ": the server returned no access token");
            s.AuthName = "Authorization";
            s.AuthValue = "Bearer " + token.Trim();
            s.Cloudapi = true;
            try { s.CloudapiSessionId = Json.Str(Json.Parse(r.Text, r.Limits.MaxDepth, r.Limits.MaxNodes), "id"); }
            catch (FormatException) { s.CloudapiSessionId = ""; }
        }

        // The longest access-token lifetime taken from a token endpoint; a longer one is a broken answer.
        public static readonly TimeSpan LongestTokenLife = TimeSpan.FromDays(366);

        // Trades an API token (an OAuth refresh token) for an access token at the organisation's token
        // endpoint, from API 36.1 (10.3.1). The access token is then a Bearer token like a session's.
        private static void TokenLogin(RestClient http, Session s, string org, bool provider, string apiToken)
        {
            if (!s.Version.AtLeast(36, 1))
                throw new CloudException("logging in with an API token needs API 36.1 (10.3.1) or later; the session would use API " + s.Version);
            if (apiToken.Trim().Length == 0) throw new CloudException("no API token given for " + s.Login);
            string path = provider ? "oauth/provider/token" : "oauth/tenant/" + Uri.EscapeDataString(org) + "/token";
            string body = "grant_type=refresh_token&refresh_token=" + Uri.EscapeDataString(apiToken.Trim());
            var started = DateTime.UtcNow;
            var r = http.Send(HttpMethod.Post, new Uri(s.Root, path), null, "application/json;version=" + s.Version.Text, body,
                "application/x-www-form-urlencoded", "POST /" + path, new[] { apiToken.Trim(), Uri.EscapeDataString(apiToken.Trim()) });
            if (r.IsHtml)
                throw new CloudException(r.What + ": the server or a proxy in front of it answered with an HTML page instead of a token (HTTP " + r.Status + ")");
            object json = null;
            string parseError = "";
            try { json = Json.Parse(r.Text, r.Limits.MaxDepth, r.Limits.MaxNodes); }
            catch (FormatException e) { parseError = e.Message; }
            if (r.Status != 200)
            {
                string why = "";
                if (json != null)
                {
                    foreach (var key in new[] { "error", "minorErrorCode", "error_description", "message" })
                    {
                        string v = Json.Str(json, key);
                        if (v.Length > 0 && why.IndexOf(v, StringComparison.Ordinal) < 0) why += (why.Length > 0 ? ": " : "") + v;
                    }
                }
                why = RestClient.Clean(why, r);
                if (why.Length > 300) why = why.Substring(0, 300) + "...";
                if (r.Status == 400 || r.Status == 401 || r.Status == 403)
                    throw new CloudException("API token refused for " + s.Login + ": the token is wrong, revoked or of another user or organisation (HTTP "
                        + r.Status + (why.Length > 0 ? " " + why : "") + ")", r.Status, "");
                throw RestClient.Failure(r);
            }
            if (json == null)
                throw new CloudException(r.What + ": the token answer is not JSON (" + RestClient.Clean(parseError, r) + ")");
            string access = Json.Str(json, "access_token").Trim();
            if (access.Length == 0) throw new CloudException(r.What + ": the token answer holds no access_token");
            string type = Json.Str(json, "token_type").Trim();
            if (type.Length > 0 && !string.Equals(type, "Bearer", StringComparison.OrdinalIgnoreCase))
                throw new CloudException(r.What + ": the token answer gives a token of type '" + RestClient.Clean(type, r) + "', not Bearer");
            string life = Json.Str(json, "expires_in").Trim();
            if (life.Length > 0)
            {
                double seconds;
                if (!double.TryParse(life, System.Globalization.NumberStyles.Float, System.Globalization.CultureInfo.InvariantCulture, out seconds)
                    || seconds < 1 || seconds > LongestTokenLife.TotalSeconds)
                    throw new CloudException(r.What + ": the token answer gives expires_in " + RestClient.Clean(life, r)
                        + ", not a lifetime from 1 s to " + LongestTokenLife.TotalDays + " days");
                // Renewed a tenth of its lifetime (at most a minute) early, so no request meets its end.
                var lifetime = TimeSpan.FromSeconds(seconds);
                var margin = TimeSpan.FromTicks(Math.Min(lifetime.Ticks / 10, TimeSpan.FromMinutes(1).Ticks));
                s.RenewAfter = started + lifetime - margin;
            }
            s.AuthName = "Authorization";
            s.AuthValue = "Bearer " + access;
            s.Cloudapi = true;
        }

        private static void LegacyLogin(RestClient http, Session s, string basic)
        {
            var r = Post(http, s, "api/sessions", basic);
            if (r.Status == 401 || r.Status == 403)
                throw new CloudException("login refused for " + s.Login + ": wrong user name, organisation or password (HTTP " + r.Status + ")", r.Status, "");
            if (r.Status != 200 && r.Status != 201) throw RestClient.Failure(r);
            string token;
            if (r.Headers.TryGetValue("x-vcloud-authorization", out token) && token.Trim().Length > 0)
            {
                s.AuthName = "x-vcloud-authorization";
                s.AuthValue = token.Trim();
            }
            else if (r.Headers.TryGetValue("X-VMWARE-VCLOUD-ACCESS-TOKEN", out token) && token.Trim().Length > 0)
            {
                s.AuthName = "Authorization";
                s.AuthValue = "Bearer " + token.Trim();
            }
            else throw new CloudException(r.What + ": the server returned no session token");
        }

        private static Reply Post(RestClient http, Session s, string path, string basic)
        {
            var temp = new Session { Root = s.Root, Version = s.Version, AuthName = "Authorization", AuthValue = basic };
            string accept = path.StartsWith("cloudapi", StringComparison.Ordinal)
                ? "application/json;version=" + s.Version.Text
                : "application/*+xml;version=" + s.Version.Text;
            return http.Send(HttpMethod.Post, new Uri(s.Root, path), temp, accept, null, null, "POST /" + path);
        }

        // Ends the session on the server. A session the server already dropped (401) counts as ended.
        public static void Logout(RestClient http, Session s)
        {
            string path;
            string accept = "application/*+xml;version=" + s.Version.Text;
            if (!s.Cloudapi) path = "api/session";
            else
            {
                accept = "application/json;version=" + s.Version.Text;
                if (s.Version.AtLeast(36) || s.CloudapiSessionId.Length == 0) path = "cloudapi/1.0.0/sessions/current";
                else path = "cloudapi/1.0.0/sessions/" + Uri.EscapeDataString(s.CloudapiSessionId);
            }
            var r = http.Send(HttpMethod.Delete, new Uri(s.Root, path), s, accept, null, null, "DELETE /" + path);
            if (r.Status == 401 || (r.Status >= 200 && r.Status <= 299)) return;
            throw RestClient.Failure(r);
        }

        // The product release that an API version belongs to (37.2 is 10.4.2).
        public static string ReleaseOf(ApiVersionNumber v)
        {
            var majors = new Dictionary<int, string>
            {
                { 29, "9.0" }, { 30, "9.1" }, { 31, "9.5" }, { 32, "9.7" }, { 33, "10.0" }, { 34, "10.1" },
                { 35, "10.2" }, { 36, "10.3" }, { 37, "10.4" }, { 38, "10.5" }, { 39, "10.6" }
            };
            string release;
            if (!majors.TryGetValue(v.Major, out release)) return "";
            return v.Minor > 0 ? release + "." + v.Minor : release;
        }
    }
}
