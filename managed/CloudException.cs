// The failure type that carries a text for getLastErrorString, with the HTTP status and minor error code.
using System;

namespace vCloudSDKWrapper
{
    // A failure the wrapper can describe. Status is the HTTP status (0 for a local cause).
    internal sealed class CloudException : Exception
    {
        public readonly int Status;
        public readonly string MinorCode;

        public CloudException(string message) : base(message) { MinorCode = ""; }

        public CloudException(string message, int status, string minorCode) : base(message)
        {
            Status = status;
            MinorCode = minorCode ?? "";
        }

        public bool IsNotFound { get { return Status == 403 || Status == 404; } }

        public bool IsBusy
        {
            get
            {
                if (MinorCode == "BUSY_ENTITY") return true;
                return (Status == 400 || Status == 409) && Message.IndexOf("busy", StringComparison.OrdinalIgnoreCase) >= 0;
            }
        }
    }
}
