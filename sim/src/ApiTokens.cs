// API tokens: the OAuth token endpoints that trade a user's API token (a refresh token) for an access
// token, and the registry of tokens that --api-token and the control endpoint fill.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.Text;

namespace VcdSim
{
    partial class Api
    {
        readonly Dictionary<string, User> apiTokens = new Dictionary<string, User>(StringComparer.Ordinal);

        // What the token endpoints put into their answers: the access token's lifetime in seconds (any
        // number, so that clients can be shown broken ones), and whether access_token is left out.
        public string TokenLifetime = "3600";
        public bool OmitAccessToken;

        // Registers TOKEN for USER@ORG; the user must exist.
        public void AddApiToken(string userAtOrg, string token)
        {
            int at = userAtOrg.LastIndexOf('@');
            if (at <= 0 || at == userAtOrg.Length - 1 || string.IsNullOrEmpty(token))
                throw new ArgumentException("an API token needs USER@ORG=TOKEN, not \"" + userAtOrg + "=...\"");
            string userName = userAtOrg.Substring(0, at), orgName = userAtOrg.Substring(at + 1);
            lock (cloud.Gate)
            {
                foreach (var org in cloud.Orgs)
                {
                    if (!string.Equals(org.Name, orgName, StringComparison.OrdinalIgnoreCase)) continue;
                    foreach (var u in org.Users)
                        if (string.Equals(u.Name, userName, StringComparison.OrdinalIgnoreCase))
                        {
                            apiTokens[token] = u;
                            return;
                        }
                }
            }
            throw new ArgumentException("no user " + userAtOrg + " for an API token");
        }

        // A revoked token is refused like one that never existed.
        public bool RevokeApiToken(string token)
        {
            lock (cloud.Gate) return apiTokens.Remove(token ?? "");
        }

        public int ApiTokenCount { get { lock (cloud.Gate) return apiTokens.Count; } }

        // POST /oauth/tenant/{org}/token and /oauth/provider/token, form-encoded
        // grant_type=refresh_token&refresh_token=TOKEN. The answer is an OAuth token answer; a bad grant is
        // 400 invalid_grant, as OAuth token endpoints answer.
        Resp OauthToken(Req r)
        {
            bool provider = r.Seg(1) == "provider" && r.Seg(2) == "token" && r.Segs.Length == 3;
            bool tenant = r.Seg(1) == "tenant" && r.Seg(3) == "token" && r.Segs.Length == 4;
            if (!provider && !tenant) throw SimError.NotFound();
            if (r.Method != "POST") throw SimError.Method();
            if (cloud.HighestVersion.Number < 36.1) throw SimError.NotFound();
            if (r.ContentType.IndexOf("application/x-www-form-urlencoded", StringComparison.OrdinalIgnoreCase) < 0)
                return OauthError(400, "invalid_request", "The request must be form-encoded.");
            var form = Req.ParseQuery(Encoding.UTF8.GetString(r.Body).Trim());
            if (form["grant_type"] != "refresh_token")
                return OauthError(400, "unsupported_grant_type", "Only the refresh_token grant is supported.");
            string token = form["refresh_token"] ?? "";
            User u;
            if (token.Length == 0 || !apiTokens.TryGetValue(token, out u) || !u.Enabled)
                return OauthError(400, "invalid_grant", "Invalid refresh token.");
            // A token works only at its own organisation's endpoint.
            bool right = provider ? u.Org.IsSystem : !u.Org.IsSystem && string.Equals(u.Org.Name, r.Seg(2), StringComparison.OrdinalIgnoreCase);
            if (!right) return OauthError(400, "invalid_grant", "Invalid refresh token.");
            var s = NewSession(u, cloud.HighestVersion.Text);
            var j = new JsonOut().Obj();
            if (!OmitAccessToken) j.Prop("access_token", s.Jwt);
            j.Prop("token_type", "Bearer");
            long life;
            if (long.TryParse(TokenLifetime, NumberStyles.Integer, CultureInfo.InvariantCulture, out life)) j.Prop("expires_in", life);
            else j.Prop("expires_in", TokenLifetime);
            j.Key("refresh_token").Val((string)null);
            return Resp.Json(200, j.EndObj().ToString());
        }

        static Resp OauthError(int status, string error, string description)
        {
            return Resp.Json(status, new JsonOut().Obj().Prop("error", error).Prop("error_description", description).EndObj().ToString());
        }
    }
}
