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
    }

    static class Refs
    {
        // Scheme, host and port that every href starts with, e.g. http://127.0.0.1:40123
        public static string Base = "http://127.0.0.1";

        public static string Api { get { return Base + "/api"; } }

        public static string Href(Entity e)
        {
            string a = Base + "/api/";
            switch (e.Kind)
            {
                case Kind.Org: return a + "org/" + e.Id;
                case Kind.User: return a + "admin/user/" + e.Id;
                case Kind.Group: return a + "admin/group/" + e.Id;
                case Kind.Vdc: return a + "vdc/" + e.Id;
                case Kind.ProviderVdc: return a + "admin/extension/providervdc/" + e.Id;
                case Kind.VCenter: return a + "admin/extension/vimServer/" + e.Id;
                case Kind.Datastore: return a + "admin/extension/datastore/" + e.Id;
                case Kind.StorageProfile: return a + "vdcStorageProfile/" + e.Id;
                case Kind.Network: return a + "network/" + e.Id;
                case Kind.VApp: return a + "vApp/vapp-" + e.Id;
                case Kind.VAppTemplate: return a + "vAppTemplate/vappTemplate-" + e.Id;
                case Kind.Catalog: return a + "catalog/" + e.Id;
                case Kind.Task: return a + "task/" + e.Id;
                case Kind.Vm: return ((Vm)e).IsTemplate ? a + "vAppTemplate/vm-" + e.Id : a + "vApp/vm-" + e.Id;
            }
            return a;
        }

        public static string AdminHref(Entity e)
        {
            string a = Base + "/api/admin/";
            switch (e.Kind)
            {
                case Kind.Org: return a + "org/" + e.Id;
                case Kind.Vdc: return a + "vdc/" + e.Id;
                case Kind.StorageProfile: return a + "vdcStorageProfile/" + e.Id;
                case Kind.Catalog: return a + "catalog/" + e.Id;
                case Kind.Network: return a + "network/" + e.Id;
                case Kind.ProviderVdc: return a + "providervdc/" + e.Id;
            }
            return Href(e);
        }

        public static string UrnKind(Kind k)
        {
            switch (k)
            {
                case Kind.Org: return "org";
                case Kind.User: return "user";
                case Kind.Group: return "group";
                case Kind.Vdc: return "vdc";
                case Kind.ProviderVdc: return "providervdc";
                case Kind.VCenter: return "vimserver";
                case Kind.Datastore: return "datastore";
                case Kind.StorageProfile: return "vdcstorageProfile";
                case Kind.Network: return "network";
                case Kind.VApp: return "vapp";
                case Kind.VAppTemplate: return "vapptemplate";
                case Kind.Catalog: return "catalog";
                case Kind.Task: return "task";
                case Kind.Vm: return "vm";
            }
            return "entity";
        }

        public static string Urn(Entity e)
        {
            return "urn:vcloud:" + UrnKind(e.Kind) + ":" + e.Id;
        }

        public static string MediaType(Entity e)
        {
            switch (e.Kind)
            {
                case Kind.Org: return Mt.Org;
                case Kind.User: return Mt.User;
                case Kind.Group: return Mt.Group;
                case Kind.Vdc: return Mt.Vdc;
                case Kind.ProviderVdc: return Mt.ProviderVdc;
                case Kind.VCenter: return Mt.VimServer;
                case Kind.Datastore: return Mt.Datastore;
                case Kind.StorageProfile: return Mt.StorageProfile;
                case Kind.Network: return Mt.Network;
                case Kind.VApp: return Mt.VApp;
                case Kind.VAppTemplate: return Mt.VAppTemplate;
                case Kind.Catalog: return Mt.Catalog;
                case Kind.Task: return Mt.Task;
                case Kind.Vm: return Mt.Vm;
            }
            return Mt.Entity;
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
