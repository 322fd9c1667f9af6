// Prints the enumerations and the templates bit as the native records header defines them, one
// "Type.name=value" line each, for comparison with the managed wrapper's definitions.
#include "VMInfoStructs.h"

#include <cstdio>

// Naming an enumerator the header lacks fails to compile, so a rename or removal is caught here.
#define ENTRY(type, name) std::printf("%s.%s=%lld\n", #type, #name, static_cast<long long>(name))

using namespace VMInfoStructs;

int main()
{
    ENTRY(EInventoryType, eInventoryUnknown);
    ENTRY(EInventoryType, eInventoryCloud);
    ENTRY(EInventoryType, eInventoryOrg);
    ENTRY(EInventoryType, eInventoryOrgVdc);
    ENTRY(EInventoryType, eInventoryVApp);
    ENTRY(EInventoryType, eInventoryVM);
    ENTRY(EInventoryType, eInventoryVCenter);
    ENTRY(EInventoryType, eInventoryProviderVdc);
    ENTRY(EInventoryType, eInventoryNetwork);
    ENTRY(EInventoryType, eInventoryStorageProfile);
    ENTRY(EInventoryType, eInventoryVAppTemplate);
    ENTRY(EInventoryType, eInventoryCatalog);
    ENTRY(EInventoryType, eInventoryDatastore);
    ENTRY(EFilterType, eFilterVMName);
    ENTRY(EFilterType, eFilterVAppName);
    ENTRY(EFilterType, eFilterVdcName);
    ENTRY(EFilterType, eFilterOrgName);
    std::printf("Mask.IncludePublicTemplates=%llu\n", static_cast<unsigned long long>(VM_PROP_INCLUDE_PUBLIC_TEMPLATES));
    return 0;
}
