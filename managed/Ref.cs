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

        private static readonly char[] QueryOrFragment = { '?', '#' };
        private static readonly string[] UuidPrefixes = { "vappTemplate-", "vapp-", "vm-" };

        // The UUID at the end of an href or URN ("vm-", "vapp-" and "vappTemplate-" prefixes removed). It
        // runs once for every record of a VM list, so it narrows one range of the text and cuts it once.
        public static string Uuid(string reference)
        {
            if (string.IsNullOrEmpty(reference)) return "";
            int start = 0, end = reference.Length;
            while (start < end && char.IsWhiteSpace(reference[start])) start++;
            while (end > start && char.IsWhiteSpace(reference[end - 1])) end--;
            if (end == start) return "";
            int q = reference.IndexOfAny(QueryOrFragment, start, end - start);
            if (q >= 0) end = q;
            while (end > start && reference[end - 1] == '/') end--;
            if (end == start) return "";
            int cut = Math.Max(reference.LastIndexOf('/', end - 1, end - start), reference.LastIndexOf(':', end - 1, end - start));
            if (cut >= 0) start = cut + 1;
            foreach (var prefix in UuidPrefixes)
            {
                if (end - start >= prefix.Length && string.Compare(reference, start, prefix, 0, prefix.Length, StringComparison.OrdinalIgnoreCase) == 0)
                {
                    start += prefix.Length;
                    break;
                }
            }
            return reference.Substring(start, end - start);
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
