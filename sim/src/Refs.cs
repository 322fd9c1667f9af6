// Hrefs, URNs and media types of the objects, and the reverse: from an href, URN or bare uuid to the uuid.
using System;

namespace VcdSim
{
    static class Mt
    {
        public const string P = "application/vnd.vmware.";
        public const string Session = P + "vcloud.session+xml";
        public const string OrgList = P + "vcloud.orgList+xml";
        public const string Org = P + "vcloud.org+xml";
        public const string AdminOrg = P + "admin.organization+xml";
        public const string Vdc = P + "vcloud.vdc+xml";
        public const string AdminVdc = P + "admin.vdc+xml";
        public const string VApp = P + "vcloud.vApp+xml";
        public const string Vm = P + "vcloud.vm+xml";
        public const string VAppTemplate = P + "vcloud.vAppTemplate+xml";
        public const string Catalog = P + "vcloud.catalog+xml";
        public const string CatalogItem = P + "vcloud.catalogItem+xml";
        public const string Task = P + "vcloud.task+xml";
        public const string TasksList = P + "vcloud.tasksList+xml";
        public const string Error = P + "vcloud.error+xml";
        public const string Records = P + "vcloud.query.records+xml";
        public const string References = P + "vcloud.query.references+xml";
        public const string IdRecords = P + "vcloud.query.idrecords+xml";
        public const string QueryList = P + "vcloud.query.queryList+xml";
        public const string Undeploy = P + "vcloud.undeployVAppParams+xml";
        public const string Deploy = P + "vcloud.deployVAppParams+xml";
        public const string Recompose = P + "vcloud.recomposeVAppParams+xml";
        public const string ControlAccess = P + "vcloud.controlAccess+xml";
        public const string Owner = P + "vcloud.owner+xml";
        public const string User = P + "admin.user+xml";
        public const string Group = P + "admin.group+xml";
        public const string Metadata = P + "vcloud.metadata+xml";
        public const string MetadataValue = P + "vcloud.metadata.value+xml";
        public const string StorageProfile = P + "vcloud.vdcStorageProfile+xml";
        public const string AdminStorageProfile = P + "admin.vdcStorageProfile+xml";
        public const string Extension = P + "admin.vmwExtension+xml";
        public const string VimServerRefs = P + "admin.vmwVimServerReferences+xml";
        public const string VimServer = P + "admin.vmwvirtualcenter+xml";
        public const string ProviderVdc = P + "admin.vmwprovidervdc+xml";
        public const string AdminProviderVdc = P + "admin.providervdc+xml";
        public const string Datastore = P + "admin.datastore+xml";
        public const string VCloud = P + "admin.vcloud+xml";
        public const string Network = P + "vcloud.network+xml";
        public const string OrgNetwork = P + "vcloud.orgNetwork+xml";
        public const string Entity = P + "vcloud.entity+xml";
        public const string NetworkConnectionSection = P + "vcloud.networkConnectionSection+xml";
        public const string NetworkConfigSection = P + "vcloud.networkConfigSection+xml";
        public const string ImportIntoVApp = P + "admin.importVmIntoExistingVAppParams+xml";
        public const string ImportAsVApp = P + "admin.importVmAsVAppParams+xml";
        public const string Role = P + "admin.role+xml";
        public const string ApiExtensibility = P + "vcloud.apiextensibility+xml";
        public const string VdcReferences = P + "admin.vdcReferences+xml";
        public const string PvdcStorageProfile = P + "admin.pvdcStorageProfile+xml";
    }

    static class Refs
    {
        // Scheme, host and port that every href starts with, e.g. http://127.0.0.1:40123
        public static string Base = "http://127.0.0.1";

        public static string Api { get { return Base + "/api"; } }

        // How each kind of object is addressed: its path below /api/ (the uuid follows), its path below
        // /api/admin/ where it has an admin view, the kind named in its URN, and its media type.
        class KindInfo
        {
            public Kind Kind;
            public string Path, AdminPath, Urn, Media;
        }

        static KindInfo K(Kind kind, string path, string urn, string media, string adminPath = null)
        {
            return new KindInfo { Kind = kind, Path = path, AdminPath = adminPath, Urn = urn, Media = media };
        }

        // Indexed by kind.
        static readonly KindInfo[] Kinds = Table(
            K(Kind.Org, "org/", "org", Mt.Org, adminPath: "org/"),
            K(Kind.User, "admin/user/", "user", Mt.User),
            K(Kind.Group, "admin/group/", "group", Mt.Group),
            K(Kind.Vdc, "vdc/", "vdc", Mt.Vdc, adminPath: "vdc/"),
            K(Kind.ProviderVdc, "admin/extension/providervdc/", "providervdc", Mt.ProviderVdc, adminPath: "providervdc/"),
            K(Kind.VCenter, "admin/extension/vimServer/", "vimserver", Mt.VimServer),
            K(Kind.Datastore, "admin/extension/datastore/", "datastore", Mt.Datastore),
            K(Kind.StorageProfile, "vdcStorageProfile/", "vdcstorageProfile", Mt.StorageProfile, adminPath: "vdcStorageProfile/"),
            K(Kind.Network, "network/", "network", Mt.Network, adminPath: "network/"),
            K(Kind.VApp, "vApp/vapp-", "vapp", Mt.VApp),
            K(Kind.VAppTemplate, "vAppTemplate/vappTemplate-", "vapptemplate", Mt.VAppTemplate),
            K(Kind.Catalog, "catalog/", "catalog", Mt.Catalog, adminPath: "catalog/"),
            K(Kind.Task, "task/", "task", Mt.Task),
            K(Kind.Vm, "vApp/vm-", "vm", Mt.Vm),
            K(Kind.PvdcStorageProfile, "admin/pvdcStorageProfile/", "providervdcstorageprofile", Mt.PvdcStorageProfile));

        static KindInfo[] Table(params KindInfo[] entries)
        {
            var t = new KindInfo[Enum.GetValues(typeof(Kind)).Length];
            foreach (var k in entries) t[(int)k.Kind] = k;
            foreach (var k in t)
                if (k == null) throw new InvalidOperationException("a kind of object has no address");
            return t;
        }

        public static string Href(Entity e)
        {
            // The VMs of vApp templates live under the template's path.
            if (e.Kind == Kind.Vm && ((Vm)e).IsTemplate) return Base + "/api/vAppTemplate/vm-" + e.Id;
            return Base + "/api/" + Kinds[(int)e.Kind].Path + e.Id;
        }

        public static string AdminHref(Entity e)
        {
            string path = Kinds[(int)e.Kind].AdminPath;
            return path == null ? Href(e) : Base + "/api/admin/" + path + e.Id;
        }

        public static string UrnKind(Kind k)
        {
            return Kinds[(int)k].Urn;
        }

        public static string Urn(Entity e)
        {
            return "urn:vcloud:" + UrnKind(e.Kind) + ":" + e.Id;
        }

        public static string MediaType(Entity e)
        {
            return Kinds[(int)e.Kind].Media;
        }

        // The uuid inside an href (".../vApp/vm-<uuid>"), a URN ("urn:vcloud:vm:<uuid>") or a bare uuid.
        public static string IdOf(string value)
        {
            if (value == null) return "";
            string v = value.Trim();
            int q = v.IndexOf('?');
            if (q >= 0) v = v.Substring(0, q);
            v = v.TrimEnd('/');
            int cut = Math.Max(v.LastIndexOf('/'), v.LastIndexOf(':'));
            if (cut >= 0) v = v.Substring(cut + 1);
            if (v.StartsWith("vm-", StringComparison.OrdinalIgnoreCase)) v = v.Substring(3);
            else if (v.StartsWith("vapp-", StringComparison.OrdinalIgnoreCase)) v = v.Substring(5);
            else if (v.StartsWith("vappTemplate-", StringComparison.OrdinalIgnoreCase)) v = v.Substring(13);
            return v;
        }
    }
}
