// Managed lists and records to native VMInfoStructs records and back.
#include "VCloudSDKHelper.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <string>
#include <tuple>

#include "ManagedException.h"
#include "XqMonoLib.h"

using namespace MonoAPI;
using namespace VMInfoStructs;

namespace VCloudSDKHelper {

namespace {

const char* const kWrapperNamespace = "vCloudSDKWrapper";

constexpr int kMaxTreeDepth = CVCloudSDKHelper::kMaxTreeDepth;

// Logs `message` and gives up the conversion with it.
[[noreturn]] void Fail(const std::string& message) {
    g_vCloudDebug.error("%s", message.c_str());
    throw CVCloudSDKHelper::ConversionError{message};
}

// ---- field tables ----

// One row of a record's field table: the managed field name and the native member it fills.
template <class Record, class Member>
struct Field {
    const char* name;
    Member Record::*member;
};

// The power state arrives as the managed status text and is stored as a number.
struct PowerStateField {
    const char* name;
};

int32_t PowerStateFromText(const std::string& state) {
    if (state == "POWERED_OFF") return 0;
    if (state == "POWERED_ON") return 1;
    return 2;
}

// One reader per field kind, chosen by the native member's type.
void Read(MonoClass* klass, MonoObject* object, const char* name, std::string& member) {
    member = GetStringFieldValue(klass, object, name);
}
void Read(MonoClass* klass, MonoObject* object, const char* name, bool& member) {
    member = GetBoolFieldValue(klass, object, name);
}
void Read(MonoClass* klass, MonoObject* object, const char* name, int64_t& member) {
    member = GetLongFieldValue(klass, object, name);
}
void Read(MonoClass* klass, MonoObject* object, const char* name, EInventoryType& member) {
    member = static_cast<EInventoryType>(GetIntFieldValue(klass, object, name));
}

template <class Record, class Member>
void ReadRow(MonoClass* klass, MonoObject* object, Record& out, const Field<Record, Member>& row) {
    Read(klass, object, row.name, out.*(row.member));
}

void ReadRow(MonoClass* klass, MonoObject* object, SVMInfo& out, const PowerStateField& row) {
    out.ePowerState = PowerStateFromText(GetStringFieldValue(klass, object, row.name));
}

// Reads every row of `table`, in table order, from the object's own runtime class.
template <class Record, class Table>
void ReadFields(Record& out, MonoObject* object, const Table& table) {
    if (object == nullptr) {
        g_vCloudDebug.error("Cannot convert a null managed record");
        return;
    }
    MonoClass* klass = mono_object_get_class_ptr(object);
    std::apply([&](const auto&... row) { (ReadRow(klass, object, out, row), ...); }, table);
}

const auto kOwnerFields = std::make_tuple(
    Field<SVMOwnerInfo, std::string>{"name", &SVMOwnerInfo::strName},
    Field<SVMOwnerInfo, bool>{"group", &SVMOwnerInfo::bGroup},
    Field<SVMOwnerInfo, bool>{"fullAccess", &SVMOwnerInfo::bFullAccess},
    Field<SVMOwnerInfo, bool>{"readAccess", &SVMOwnerInfo::bReadAccess});

const auto kVMInfoFields = std::make_tuple(
    Field<SVMInfo, std::string>{"name", &SVMInfo::strName},
    Field<SVMInfo, std::string>{"uuid", &SVMInfo::strUUID},
    Field<SVMInfo, std::string>{"hostName", &SVMInfo::strHostName},
    Field<SVMInfo, std::string>{"moref", &SVMInfo::strMoref},
    Field<SVMInfo, std::string>{"guestOSName", &SVMInfo::strGuestOSName},
    Field<SVMInfo, std::string>{"guestOSVersion", &SVMInfo::strGuestOSVersion},
    PowerStateField{"poweredState"});

const auto kStorageProfileFields = std::make_tuple(
    Field<SDatastoreInfo, std::string>{"name", &SDatastoreInfo::strName},
    Field<SDatastoreInfo, std::string>{"guid", &SDatastoreInfo::strGUID},
    Field<SDatastoreInfo, std::string>{"moref", &SDatastoreInfo::strMoref},
    Field<SDatastoreInfo, int64_t>{"i64TotalSizeInBytes", &SDatastoreInfo::i64TotalSizeInBytes},
    Field<SDatastoreInfo, int64_t>{"i64FreeSpaceInBytes", &SDatastoreInfo::i64FreeSpaceInBytes},
    Field<SDatastoreInfo, bool>{"isDefault", &SDatastoreInfo::bIsDefault});

// The inventory node's scalar fields; its children list is converted separately, after them.
const auto kInventoryFields = std::make_tuple(
    Field<SInventoryInfo, std::string>{"name", &SInventoryInfo::strName},
    Field<SInventoryInfo, EInventoryType>{"type", &SInventoryInfo::eType},
    Field<SInventoryInfo, std::string>{"href", &SInventoryInfo::strHref});

const auto kVersionFields = std::make_tuple(
    Field<SMgmtVersion, std::string>{"strVersion", &SMgmtVersion::strVersion},
    Field<SMgmtVersion, std::string>{"strBuild", &SMgmtVersion::strBuild},
    Field<SMgmtVersion, std::string>{"strFullVersion", &SMgmtVersion::strFullVersion});

// ---- managed invocation ----

// Invokes a factory, enumerator or list method. A managed exception is thrown as a ManagedException, to
// be logged and turned into a failure by the bridge operation that asked for the conversion.
MonoObject* InvokeChecked(MonoMethod* method, void* object, void** args) {
    MonoObject* exception = nullptr;
    MonoObject* result = mono_runtime_invoke_ptr(method, object, args, &exception);
    if (exception != nullptr) ThrowManagedException(exception);
    return result;
}

MonoClass* WrapperClass(const char* name) { return mono_class_from_name_ptr(g_vCloudImage, kWrapperNamespace, name); }

// A chain of the managed lists being enumerated, one link per tree level, kept in the recursion's own
// stack frames (where the collector sees them).
struct ListChain {
    MonoObject* list;
    const ListChain* parent;
    int depth;
};

thread_local const ListChain* t_enumerating = nullptr;

// Enumerates `list` with `enumeratorClass`, handing each element to `each`. A list that cannot be
// enumerated to its end fails the conversion: what was read of it is not the whole list.
template <class Each>
void Enumerate(MonoObject* list, const char* enumeratorClass, Each&& each) {
    MonoClass* klass = WrapperClass(enumeratorClass);
    if (klass == nullptr) Fail(std::string("Failed to get enumerator class [") + enumeratorClass + "]");
    MonoMethod* getEnumerator = mono_class_get_method_from_name_ptr(klass, "GetEnumerator", -1);
    MonoMethod* moveNext = mono_class_get_method_from_name_ptr(klass, "MoveNext", -1);
    MonoMethod* current = mono_class_get_method_from_name_ptr(klass, "Current", -1);
    if (getEnumerator == nullptr || moveNext == nullptr || current == nullptr) {
        Fail(std::string("Failed to get enumerator method [") + enumeratorClass + "]");
    }
    void* args[1] = {list};
    MonoObject* enumerator = InvokeChecked(getEnumerator, nullptr, args);
    if (enumerator == nullptr) Fail(std::string("Failed to invoke get enumerator method [") + enumeratorClass + "]");
    MonoClass* booleanClass = mono_get_boolean_class_ptr();
    for (;;) {
        MonoObject* more = InvokeChecked(moveNext, enumerator, nullptr);
        if (more == nullptr || mono_object_get_class_ptr(more) != booleanClass) {
            // Anything but a Boolean cannot say whether there is a next element.
            Fail(std::string("MoveNext of [") + enumeratorClass + "] did not return a Boolean");
        }
        if (*static_cast<const unsigned char*>(mono_object_unbox_ptr(more)) == 0) return;
        each(InvokeChecked(current, enumerator, nullptr));
    }
}

// Appends a converted record element. A null element has no record to convert: the list is broken,
// and a list with a hole is not handed back as if it were whole.
template <class T>
void AppendRecord(std::vector<T>& out, MonoObject* element, const char* enumeratorClass) {
    if (element == nullptr) Fail(std::string("Null element in list [") + enumeratorClass + "]");
    // Converted in place: records copy deeply (they have no move), and a subtree should be built once.
    out.emplace_back();
    CVCloudSDKHelper::ConvertObject(out.back(), element);
}

void AppendRecord(std::vector<std::string>& out, MonoObject* element, const char*) {
    std::string text;
    CVCloudSDKHelper::ConvertObject(text, element);
    out.push_back(text);
}

// The most that a list's Count may reserve up front (about 360,000 VM records).
constexpr std::size_t kMaxReservedBytes = std::size_t{1} << 30;

// Records have no move operations, so every reallocation of a growing vector deep-copies all records
// made so far. When the managed list tells its Count, the vector is sized once up front instead. A list
// without a Count, or one that fails to give it, is simply read without the reservation. The Count is a
// hint, not a promise: the reservation is capped and skipped when it cannot be had, so a wrong Count
// never fails a list that the enumeration itself reads.
// A reservation this large is fresh memory from the kernel, and filling it faults in one 4 KiB page at a
// time: 72,000 faults for 100,000 VM records, each taking the process's memory-map lock, so that two
// threads listing at once wait on each other. Asking for transparent huge pages where the system grants
// them on request makes that some 140 faults. A refusal changes nothing but the speed.
constexpr std::size_t kHugePageAdviceBytes = std::size_t{8} << 20;

void AdviseHugePages(const void* data, std::size_t bytes) {
    if (bytes < kHugePageAdviceBytes) return;
    const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0) return;
    const auto size = static_cast<std::uintptr_t>(page);
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + size - 1) / size * size;
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) / size * size;
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

template <class T>
void ReserveForList(std::vector<T>& out, MonoObject* list) {
    MonoProperty* count = mono_class_get_property_from_name_ptr(mono_object_get_class_ptr(list), "Count");
    if (count == nullptr) return;
    MonoObject* exception = nullptr;
    MonoObject* boxed = mono_property_get_value_ptr(count, list, nullptr, &exception);
    if (exception != nullptr || boxed == nullptr || mono_object_get_class_ptr(boxed) != mono_get_int32_class_ptr()) return;
    int32_t n = *static_cast<const int32_t*>(mono_object_unbox_ptr(boxed));
    if (n <= 0) return;
    try {
        out.reserve(std::min(static_cast<std::size_t>(n), kMaxReservedBytes / sizeof(T)));
        AdviseHugePages(out.data(), out.capacity() * sizeof(T));
    } catch (const std::bad_alloc&) {
        // Read without the reservation.
    }
}

void FillInventoryRecord(MonoObject* record, const SInventoryInfo& in, int level);

// Adds one managed SInventoryLib per native node to `list`; the nodes are at `level`. Every node arrives,
// or the conversion fails: a tree with nodes missing is not handed to the wrapper as if it were whole.
void FillInventoryList(MonoObject* list, const std::vector<SInventoryInfo>& in, const char* elementClass,
                       int level) {
    if (list == nullptr) Fail(std::string("Cannot fill a null managed list of [") + elementClass + "]");
    MonoClass* listClass = mono_object_get_class_ptr(list);
    MonoMethod* add = mono_class_get_method_from_name_ptr(listClass, "Add", -1);
    if (add == nullptr) {
        std::string message = std::string("Failed to get add method for class [") + mono_class_get_name_ptr(listClass) + "]";
        g_vCloudDebug.error("%s", message.c_str());
        DumpClassMethods(listClass);
        throw CVCloudSDKHelper::ConversionError{message};
    }
    for (const SInventoryInfo& node : in) {
        MonoObject* element = NewManagedObjectVCloud(elementClass, false);
        if (element == nullptr) {
            // The maker has logged why.
            throw CVCloudSDKHelper::ConversionError{std::string("Could not make a managed ") + elementClass};
        }
        FillInventoryRecord(element, node, level);
        // A struct goes to Add by value: the address of its data.
        void* args[1] = {mono_object_unbox_ptr(element)};
        InvokeChecked(add, list, args);
    }
}

// A managed string of a node's text. A NUL inside would cut the text short on its way to the wrapper,
// which would then act on another entity.
MonoString* NodeText(const std::string& text, const char* field) {
    if (text.find('\0') != std::string::npos) {
        Fail(std::string("Inventory node ") + field + " holds a NUL byte");
    }
    return std2gc(text);
}

// Writes a native node at `level` (1 for a root) into an existing managed SInventoryLib record, its
// children first built as a list.
void FillInventoryRecord(MonoObject* record, const SInventoryInfo& in, int level) {
    if (record == nullptr) Fail("Cannot fill a null managed inventory record");
    if (level > kMaxTreeDepth) Fail("Inventory tree deeper than " + std::to_string(kMaxTreeDepth) + " levels");
    MonoClass* klass = mono_object_get_class_ptr(record);
    SetFieldValue(klass, record, "name", NodeText(in.strName, "name"));
    int32_t type = static_cast<int32_t>(in.eType);
    SetFieldValue(klass, record, "type", &type);
    SetFieldValue(klass, record, "href", NodeText(in.strHref, "href"));
    MonoObject* children = CVCloudSDKHelper::CreateList("SInventoryLib");
    if (children == nullptr) {
        // CreateList has logged why.
        throw CVCloudSDKHelper::ConversionError{"Could not make the children list of an inventory node"};
    }
    FillInventoryList(children, in.vecChildren, "SInventoryLib", level + 1);
    SetFieldValue(klass, record, "children", children);
}

}  // namespace

// ---- lists ----

MonoObject* CVCloudSDKHelper::CreateList(const char* elementType) {
    MonoClass* factory = WrapperClass("vCloudSDKWrapperFactory");
    if (factory == nullptr) {
        g_vCloudDebug.error("Failed to get list factory class [%s]", elementType);
        return nullptr;
    }
    std::string methodName = std::string("Create") + elementType + "List";
    MonoMethod* create = mono_class_get_method_from_name_ptr(factory, methodName.c_str(), -1);
    if (create == nullptr) {
        g_vCloudDebug.error("Failed to get create list method [%s]", methodName.c_str());
        return nullptr;
    }
    MonoObject* list = InvokeChecked(create, nullptr, nullptr);
    if (list == nullptr) {
        g_vCloudDebug.error("Failed to invoke create list method [%s]", methodName.c_str());
        return nullptr;
    }
    return list;
}

template <class T>
void CVCloudSDKHelper::ConvertList(std::vector<T>& out, MonoObject* list, const char* enumeratorClass) {
    out.clear();
    if (list == nullptr) return;
    ReserveForList(out, list);
    Enumerate(list, enumeratorClass, [&](MonoObject* element) { AppendRecord(out, element, enumeratorClass); });
}

// Text lists may be read with any enumerator class.
template void CVCloudSDKHelper::ConvertList<std::string>(std::vector<std::string>&, MonoObject*, const char*);

void CVCloudSDKHelper::MtNStringList(std::vector<std::string>& out, MonoObject* list) {
    ConvertList(out, list, "StringEnumerator");
}

void CVCloudSDKHelper::ConvertUserList(std::vector<SVMOwnerInfo>& out, MonoObject* list) {
    ConvertList(out, list, "SVCloudUserLibListEnumerator");
}

void CVCloudSDKHelper::ConvertStorageProfileList(std::vector<SDatastoreInfo>& out, MonoObject* list) {
    ConvertList(out, list, "SStorageProfileInfoLibListEnumerator");
}

// The list's nodes are one level below the node whose children it holds: the chain of lists being read
// on this thread gives that level.
void CVCloudSDKHelper::ConvertInventoryList(std::vector<SInventoryInfo>& out, MonoObject* list) {
    const ListChain* parent = t_enumerating;
    int depth = parent != nullptr ? parent->depth + 1 : 0;
    for (const ListChain* link = parent; link != nullptr; link = link->parent) {
        if (link->list == list && list != nullptr) Fail("Inventory tree is cyclic: a children list contains its own ancestor");
    }
    ListChain link{list, parent, depth};
    t_enumerating = &link;
    try {
        ConvertList(out, list, "SInventoryLibListEnumerator");
    } catch (...) {
        t_enumerating = parent;
        throw;
    }
    t_enumerating = parent;
}

void CVCloudSDKHelper::ConvertVMInfoList(std::vector<SVMInfo>& out, MonoObject* list) {
    ConvertList(out, list, "SVMInfoLibListEnumerator");
}

void CVCloudSDKHelper::ConvertInventoryList(MonoObject*& outList, std::vector<SInventoryInfo>& in) {
    outList = CreateList("SInventoryLib");
    ConvertList_NativeToManaged(outList, in, "SInventoryLib");
}

void CVCloudSDKHelper::ConvertList_NativeToManaged(MonoObject* list, const std::vector<SInventoryInfo>& in,
                                                   const char* elementClass) {
    FillInventoryList(list, in, elementClass, 1);
}

// ---- records ----

void CVCloudSDKHelper::ConvertObject(std::string& out, MonoObject* text) {
    out = gc2std(reinterpret_cast<MonoString*>(text));
}

void CVCloudSDKHelper::ConvertObject(SInventoryInfo& out, MonoObject* record) {
    // A node read from a list at depth d is at level d + 1; a node read on its own is a root.
    int level = t_enumerating != nullptr ? t_enumerating->depth + 1 : 1;
    if (level > kMaxTreeDepth) Fail("Inventory tree deeper than " + std::to_string(kMaxTreeDepth) + " levels");
    ReadFields(out, record, kInventoryFields);
    if (record == nullptr) return;
    auto* children = static_cast<MonoObject*>(GetFieldValue(mono_object_get_class_ptr(record), record, "children"));
    ConvertInventoryList(out.vecChildren, children);
}

void CVCloudSDKHelper::ConvertObject(SVMOwnerInfo& out, MonoObject* record) { ReadFields(out, record, kOwnerFields); }

void CVCloudSDKHelper::ConvertObject(SVMInfo& out, MonoObject* record) { ReadFields(out, record, kVMInfoFields); }

void CVCloudSDKHelper::ConvertObject(SDatastoreInfo& out, MonoObject* record) {
    ReadFields(out, record, kStorageProfileFields);
}

void CVCloudSDKHelper::ConvertObject(MonoObject*& record, SInventoryInfo in) { FillInventoryRecord(record, in, 1); }

void CVCloudSDKHelper::ConvertObject(SMgmtVersion& out, MonoObject*& record) { ReadFields(out, record, kVersionFields); }

}  // namespace VCloudSDKHelper
