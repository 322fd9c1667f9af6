// Entity references: hrefs, URNs and bare UUIDs, and which of them a text is.
using System;

namespace vCloudSDKWrapper
{
    // What kind of text names an entity.
    internal enum RefForm { Name, Href, Urn }

    // Entity references: hrefs such as https://host/api/vApp/vm-<uuid>, URNs such as
    // urn:vcloud:vm:<uuid>, and bare UUIDs.
    internal static class Ref
    {
        public static RefForm Form(string text)
        {
            if (text.StartsWith("https://", StringComparison.OrdinalIgnoreCase) || text.StartsWith("http://", StringComparison.OrdinalIgnoreCase))
                return RefForm.Href;
            if (text.StartsWith("urn:vcloud:", StringComparison.OrdinalIgnoreCase)) return RefForm.Urn;
            return RefForm.Name;
        }

        // The UUID at the end of an href or URN ("vm-", "vapp-" and "vappTemplate-" prefixes removed).
        public static string Uuid(string reference)
        {
            if (string.IsNullOrEmpty(reference)) return "";
            string s = reference.Trim();
            int q = s.IndexOfAny(new[] { '?', '#' });
            if (q >= 0) s = s.Substring(0, q);
            s = s.TrimEnd('/');
            int cut = Math.Max(s.LastIndexOf('/'), s.LastIndexOf(':'));
            if (cut >= 0) s = s.Substring(cut + 1);
            foreach (var prefix in new[] { "vappTemplate-", "vapp-", "vm-" })
                if (s.StartsWith(prefix, StringComparison.OrdinalIgnoreCase)) return s.Substring(prefix.Length);
            return s;
        }

        // The entity kind of a URN: urn:vcloud:vm:<uuid> gives "vm".
        public static string UrnKind(string urn)
        {
            var parts = urn.Split(':');
            return parts.Length == 4 ? parts[2].ToLowerInvariant() : "";
        }

        public static bool Same(string a, string b)
        {
            string ua = Uuid(a), ub = Uuid(b);
            return ua.Length > 0 && string.Equals(ua, ub, StringComparison.OrdinalIgnoreCase);
        }

        public static bool LooksLikeUuid(string text)
        {
            Guid g;
            return text.Length == 36 && Guid.TryParse(text, out g);
        }
    }
}
