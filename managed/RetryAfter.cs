// The Retry-After header of a throttled (429) or unavailable (503) answer: how long the server asks the
// client to wait, given as seconds or as an HTTP date.
using System;
using System.Globalization;

namespace vCloudSDKWrapper
{
    internal static class RetryAfter
    {
        // HTTP dates are always in GMT; servers must send the first form, clients must read all three.
        private static readonly string[] DateForms =
        {
            "ddd, dd MMM yyyy HH:mm:ss 'GMT'",      // IMF-fixdate: Sun, 06 Nov 1994 08:49:37 GMT
            "dddd, dd-MMM-yy HH:mm:ss 'GMT'",       // obsolete RFC 850: Sunday, 06-Nov-94 08:49:37 GMT
            "ddd MMM d HH:mm:ss yyyy",              // asctime: Sun Nov  6 08:49:37 1994
        };

        // Longer than any wait a caller would allow; keeps the arithmetic of a huge value finite.
        private static readonly TimeSpan Longest = TimeSpan.FromDays(3650);

        // The wait the header asks for, counted from nowUtc (a date in the past asks for none), and in asked
        // the request as a text for logs and errors ("120 s", or the date and the wait it means). Null, and
        // asked null, when there is no header or it says neither a number of seconds nor a date.
        public static TimeSpan? Parse(string value, DateTime nowUtc, out string asked)
        {
            asked = null;
            if (value == null) return null;
            string v = value.Trim();
            if (v.Length == 0) return null;
            if (IsDigits(v))
            {
                long seconds;
                TimeSpan wait = long.TryParse(v, NumberStyles.None, CultureInfo.InvariantCulture, out seconds)
                    && seconds <= (long)Longest.TotalSeconds ? TimeSpan.FromSeconds(seconds) : Longest;
                asked = v + " s";
                return wait;
            }
            string single = System.Text.RegularExpressions.Regex.Replace(v, @"\s+", " ");
            DateTime when;
            if (!DateTime.TryParseExact(single, DateForms, CultureInfo.InvariantCulture,
                    DateTimeStyles.AssumeUniversal | DateTimeStyles.AdjustToUniversal | DateTimeStyles.AllowWhiteSpaces, out when))
                return null;
            TimeSpan until = when - nowUtc;
            if (until < TimeSpan.Zero) until = TimeSpan.Zero;
            if (until > Longest) until = Longest;
            asked = v + " (" + Math.Ceiling(until.TotalSeconds).ToString(CultureInfo.InvariantCulture) + " s from now)";
            return until;
        }

        private static bool IsDigits(string v)
        {
            foreach (char c in v)
                if (c < '0' || c > '9') return false;
            return true;
        }
    }
}
