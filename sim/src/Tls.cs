// https in front of the simulator: a TLS listener on the public port that terminates TLS with a PEM
// certificate and key and relays each connection, byte for byte, to the plain listener on a private
// loopback port. Clients see a server that speaks only https.
using System;
using System.IO;
using System.Net;
using System.Net.Security;
using System.Net.Sockets;
using System.Security.Authentication;
using System.Security.Cryptography;
using System.Security.Cryptography.X509Certificates;
using System.Text;
using System.Threading;

namespace VcdSim
{
    class TlsFront
    {
        readonly X509Certificate2 cert;
        int backendPort;
        TcpListener listener;
        volatile bool running;
        public int Port;

        // The PEM texts are read once, and checked by making a certificate from them.
        public TlsFront(string certFile, string keyFile)
        {
            cert = Make(File.ReadAllText(certFile), File.ReadAllText(keyFile), certFile, keyFile);
        }

        // The certificate (first PEM block of certText) with its RSA key (PKCS#8 "PRIVATE KEY" or PKCS#1
        // "RSA PRIVATE KEY" in keyText); the file names are for messages.
        static X509Certificate2 Make(string certText, string keyText, string certFile, string keyFile)
        {
            byte[] der = Pem(certText, "CERTIFICATE");
            if (der == null) throw new ArgumentException(certFile + " holds no PEM certificate");
            RSA key;
            byte[] pkcs8 = Pem(keyText, "PRIVATE KEY");
            if (pkcs8 != null)
                key = Mono.Security.Cryptography.PKCS8.PrivateKeyInfo.DecodeRSA(new Mono.Security.Cryptography.PKCS8.PrivateKeyInfo(pkcs8).PrivateKey);
            else
            {
                byte[] pkcs1 = Pem(keyText, "RSA PRIVATE KEY");
                if (pkcs1 == null) throw new ArgumentException(keyFile + " holds no PEM RSA private key (PRIVATE KEY or RSA PRIVATE KEY)");
                key = Mono.Security.Cryptography.PKCS8.PrivateKeyInfo.DecodeRSA(pkcs1);
            }
            // Mono cannot attach a key to a certificate object; a PKCS#12 made in memory carries both.
            var p12 = new Mono.Security.X509.PKCS12();
            p12.Password = "vcdsim";
            p12.AddCertificate(new Mono.Security.X509.X509Certificate(der));
            p12.AddPkcs8ShroudedKeyBag(new MinimalRsa(key));
            return new X509Certificate2(p12.GetBytes(), "vcdsim", X509KeyStorageFlags.Exportable);
        }

        // The key as the PKCS#12 encoder should see it: values without leading zero bytes. Mono exports a
        // private exponent or CRT value padded to the modulus's width (or half of it), and its encoder
        // writes that padding into the DER integer; Mono's TLS layer refuses such a non-minimal integer
        // and then has no private key for the certificate, so every handshake fails ("Object reference
        // not set" in SetPrivateKey). That happens to about one key in a hundred, whose value is short.
        sealed class MinimalRsa : RSA
        {
            readonly RSAParameters parameters;

            public MinimalRsa(RSA key)
            {
                parameters = key.ExportParameters(true);
                KeySizeValue = key.KeySize;
                LegalKeySizesValue = key.LegalKeySizes;
            }

            public override RSAParameters ExportParameters(bool includePrivateParameters)
            {
                var p = new RSAParameters { Modulus = Minimal(parameters.Modulus), Exponent = Minimal(parameters.Exponent) };
                if (!includePrivateParameters) return p;
                p.D = Minimal(parameters.D);
                p.P = Minimal(parameters.P);
                p.Q = Minimal(parameters.Q);
                p.DP = Minimal(parameters.DP);
                p.DQ = Minimal(parameters.DQ);
                p.InverseQ = Minimal(parameters.InverseQ);
                return p;
            }

            public override void ImportParameters(RSAParameters p) { throw new NotSupportedException(); }
            public override byte[] DecryptValue(byte[] rgb) { throw new NotSupportedException(); }
            public override byte[] EncryptValue(byte[] rgb) { throw new NotSupportedException(); }

            static byte[] Minimal(byte[] value)
            {
                if (value == null) return null;
                int skip = 0;
                while (skip < value.Length - 1 && value[skip] == 0) skip++;
                if (skip == 0) return value;
                var trimmed = new byte[value.Length - skip];
                Buffer.BlockCopy(value, skip, trimmed, 0, trimmed.Length);
                return trimmed;
            }
        }

        static byte[] Pem(string text, string label)
        {
            string begin = "-----BEGIN " + label + "-----", end = "-----END " + label + "-----";
            int a = text.IndexOf(begin, StringComparison.Ordinal);
            if (a < 0) return null;
            int b = text.IndexOf(end, a, StringComparison.Ordinal);
            if (b < 0) return null;
            string body = text.Substring(a + begin.Length, b - a - begin.Length);
            return Convert.FromBase64String(body.Replace("\r", "").Replace("\n", "").Trim());
        }

        // Listens on `port` (0: a free one) and relays to the plain listener on `backend`.
        public void Start(int port, int backend)
        {
            backendPort = backend;
            listener = new TcpListener(IPAddress.Loopback, port);
            listener.Start();
            Port = ((IPEndPoint)listener.LocalEndpoint).Port;
            running = true;
            new Thread(AcceptLoop) { IsBackground = true, Name = "tls-accept" }.Start();
        }

        public void Stop()
        {
            running = false;
            try { listener.Stop(); } catch (Exception) { }
        }

        void AcceptLoop()
        {
            while (running)
            {
                TcpClient c;
                try { c = listener.AcceptTcpClient(); }
                catch (Exception) { if (!running) return; continue; }
                // A thread of its own per connection: a relayed connection blocks for its whole life, and
                // must not take the pool threads the plain listener answers requests on.
                new Thread(() => Serve(c)) { IsBackground = true, Name = "tls-connection" }.Start();
            }
        }

        // One client connection: the handshake (a client that refuses our certificate ends it here), then
        // both directions relayed until either side closes.
        void Serve(TcpClient client)
        {
            using (client)
            {
                SslStream tls = null;
                TcpClient backend = null;
                string peer = "?";
                try
                {
                    peer = client.Client.RemoteEndPoint.ToString();
                    client.NoDelay = true;
                    client.ReceiveTimeout = 30000;
                    tls = new SslStream(client.GetStream(), false);
                    tls.AuthenticateAsServer(cert, false, SslProtocols.Tls12, false);
                    client.ReceiveTimeout = 0;
                    backend = new TcpClient();
                    backend.NoDelay = true;
                    backend.Connect(IPAddress.Loopback, backendPort);
                    var plain = backend.GetStream();
                    var relay = backend;
                    // When the client ends, the plain side ends too, which ends the copy below.
                    var up = new Thread(() =>
                    {
                        Pump(tls, plain);
                        try { relay.Client.Shutdown(SocketShutdown.Both); } catch (Exception) { }
                    }) { IsBackground = true, Name = "tls-up" };
                    up.Start();
                    Pump(plain, tls);
                }
                catch (Exception e)
                {
                    // A client that refuses our certificate ends up here; the simulator goes on.
                    try { Console.Error.WriteLine("vcdsim: TLS connection from " + peer + " ended: " + e.GetBaseException().Message); }
                    catch (Exception) { }
                }
                finally
                {
                    try { if (backend != null) backend.Close(); } catch (Exception) { }
                    try { if (tls != null) tls.Dispose(); } catch (Exception) { }
                }
            }
        }

        // Copies until its source ends or either side fails.
        static void Pump(Stream from, Stream to)
        {
            var buf = new byte[65536];
            try
            {
                int n;
                while ((n = from.Read(buf, 0, buf.Length)) > 0)
                {
                    to.Write(buf, 0, n);
                    to.Flush();
                }
            }
            catch (Exception) { }
        }
    }
}
