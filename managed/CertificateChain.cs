// The server's certificate chain checked against the CAs of caFile, as curl checks it: the certificates
// the server sent are untrusted intermediates, the caFile's certificates the only anchors, and every
// link must hold.
using System;
using System.Collections.Generic;
using System.Linq;
using System.Security.Cryptography.X509Certificates;

namespace vCloudSDKWrapper
{
    internal static class CaFileChain
    {
        // More links than any real chain has; ends a loop of certificates that issue each other.
        public const int MaxLinks = 8;

        // Null when a chain from leaf reaches a caFile certificate and every link verifies: each signature,
        // each certificate's validity dates (the anchor's too), and for each issuer that it is a CA, may
        // sign certificates (keyUsage) and allows the CAs below it (path length). Else why not, as the end
        // of a sentence that starts with the certificate's name.
        public static string Refusal(X509Certificate2 leaf, IList<X509Certificate2> sent, X509Certificate2Collection anchors, DateTime nowUtc)
        {
            var path = new List<X509Certificate2> { leaf };
            var current = leaf;
            while (true)
            {
                string when = Expired(current, nowUtc);
                if (when != null)
                    return current == leaf ? when : "reaches the configured caFile through " + current.Subject + ", which " + when;
                if (IsAnchor(current, anchors)) return null;
                if (path.Count > MaxLinks)
                    return "was not issued by a CA in the configured caFile (no anchor within " + MaxLinks + " links)";
                X509Certificate2 unverifiable = null;
                var issuer = IssuerOf(current, anchors.Cast<X509Certificate2>(), path, ref unverifiable) ?? IssuerOf(current, sent, path, ref unverifiable);
                if (issuer == null && unverifiable != null)
                    return "names its issuer " + unverifiable.Subject + ", whose " + KeyKind(unverifiable)
                        + " key this runtime cannot check signatures with; configure pin for this server instead";
                if (issuer == null)
                    return "was not issued by a CA in the configured caFile" + (path.Count > 1 ? " (its chain ends at " + current.Subject + ", issued by " + current.Issuer + ")" : "");
                // The CAs between the leaf and this issuer, each of which it vouches for.
                int below = path.Count - 1;
                string unfit = UnfitIssuer(issuer, below);
                if (unfit != null)
                    return (IsAnchor(issuer, anchors) ? "was issued through " : "reaches the configured caFile through ") + issuer.Subject + ", which " + unfit;
                path.Add(issuer);
                current = issuer;
            }
        }

        private static bool IsAnchor(X509Certificate2 cert, X509Certificate2Collection anchors)
        {
            foreach (X509Certificate2 a in anchors)
                if (a.RawData.SequenceEqual(cert.RawData)) return true;
            return false;
        }

        // Why the certificate is outside its validity dates at nowUtc, or null.
        internal static string Expired(X509Certificate2 cert, DateTime nowUtc)
        {
            if (nowUtc > cert.NotAfter.ToUniversalTime())
                return "expired on " + cert.NotAfter.ToUniversalTime().ToString("yyyy-MM-dd HH:mm:ss 'UTC'", System.Globalization.CultureInfo.InvariantCulture);
            if (nowUtc < cert.NotBefore.ToUniversalTime())
                return "is not valid before " + cert.NotBefore.ToUniversalTime().ToString("yyyy-MM-dd HH:mm:ss 'UTC'", System.Globalization.CultureInfo.InvariantCulture);
            return null;
        }

        // The first candidate that names the certificate's issuer as its subject and whose key verifies the
        // certificate's signature; one already on the path is never taken again. A candidate whose key the
        // runtime cannot use goes to unverifiable.
        private static X509Certificate2 IssuerOf(X509Certificate2 cert, IEnumerable<X509Certificate2> candidates, List<X509Certificate2> path,
                                                 ref X509Certificate2 unverifiable)
        {
            foreach (var c in candidates)
            {
                if (c == null || path.Any(p => p.RawData.SequenceEqual(c.RawData))) continue;
                if (!SameName(c.SubjectName, cert.IssuerName)) continue;
                bool? signed = SignedBy(cert, c);
                if (signed == true) return c;
                if (signed == null && unverifiable == null) unverifiable = c;
            }
            return null;
        }

        private static string KeyKind(X509Certificate2 cert)
        {
            string oid = cert.PublicKey.Oid.Value;
            return oid == "1.2.840.10045.2.1" ? "EC" : oid == "1.3.101.112" ? "Ed25519" : "(" + oid + ")";
        }

        private static bool SameName(X500DistinguishedName a, X500DistinguishedName b)
        {
            return a.RawData.SequenceEqual(b.RawData) || string.Equals(a.Name, b.Name, StringComparison.OrdinalIgnoreCase);
        }

        // Whether issuer's key verifies cert's signature; null when the runtime cannot use that kind of key
        // (it reads RSA and DSA keys; Mono 6.8 has no EC keys outside its TLS provider).
        internal static bool? SignedBy(X509Certificate2 cert, X509Certificate2 issuer)
        {
            System.Security.Cryptography.AsymmetricAlgorithm key;
            try { key = issuer.PublicKey.Key; }
            catch (Exception) { return null; }
            if (key == null) return null;
            try { return new Mono.Security.X509.X509Certificate(cert.RawData).VerifySignature(key); }
            catch (Exception) { return false; }
        }

        // Why the certificate may not issue a certificate that has `below` CAs under it, or null. A CA is
        // one whose basicConstraints say so; without that extension, as OpenSSL reads it, a self-issued
        // version 1 certificate or one whose keyUsage allows certificate signing.
        internal static string UnfitIssuer(X509Certificate2 issuer, int below)
        {
            var bc = issuer.Extensions.OfType<X509BasicConstraintsExtension>().FirstOrDefault();
            var ku = issuer.Extensions.OfType<X509KeyUsageExtension>().FirstOrDefault();
            if (bc != null)
            {
                if (!bc.CertificateAuthority) return "is not a CA (CA:FALSE)";
                if (bc.HasPathLengthConstraint && below > bc.PathLengthConstraint)
                    return "allows " + bc.PathLengthConstraint + " CA(s) below it, and the chain has " + below + " (pathlen)";
            }
            else
            {
                bool selfIssued = SameName(issuer.SubjectName, issuer.IssuerName);
                bool v1 = issuer.Version < 3;
                bool signs = ku != null && (ku.KeyUsages & X509KeyUsageFlags.KeyCertSign) != 0;
                if (!(v1 && selfIssued) && !signs) return "is not a CA (it says neither CA:TRUE nor keyCertSign)";
            }
            if (ku != null && (ku.KeyUsages & X509KeyUsageFlags.KeyCertSign) == 0)
                return "may not sign certificates (its keyUsage lacks keyCertSign)";
            return null;
        }
    }
}
