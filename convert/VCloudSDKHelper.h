// Conversion between managed wrapper values and native VMInfoStructs records: typed managed lists made
// through the wrapper's list factory, lists read through the wrapper's enumerator classes, and the
// record converters.
//
// A managed exception raised by the factory, an enumerator or Add is thrown as a ManagedException, like
// every other managed exception the bridge meets, so the operation that called the conversion logs it and
// returns its failure value.
#pragma once

#include <string>
#include <vector>

#include "MonoValue.h"
#include "VMInfoStructs.h"

namespace VCloudSDKHelper {

class CVCloudSDKHelper {
public:
    // Thrown (after a log line) when values cannot be converted whole: a list that cannot be enumerated or
    // filled, an inventory tree that is cyclic or deeper than kMaxTreeDepth levels, a null record in a
    // list, a text with a NUL byte. The bridge operation turns it into its failure value; `text` says why.
    struct ConversionError {
        std::string text;
    };

    // The most levels of nodes an inventory tree may have, in either direction: the converters recurse
    // once per level.
    static constexpr int kMaxTreeDepth = 2048;

    // A new empty managed list from vCloudSDKWrapperFactory.Create<elementType>List(), or null (logged).
    static MonoObject* CreateList(const char* elementType);

    // Managed list to native vector through the enumerator class `enumeratorClass`. Empties `out` first;
    // a null list leaves it empty. Throws ConversionError when the list cannot be read to its end.
    template <class T>
    static void ConvertList(std::vector<T>& out, MonoObject* list, const char* enumeratorClass);

    static void MtNStringList(std::vector<std::string>& out, MonoObject* list);
    static void ConvertUserList(std::vector<VMInfoStructs::SVMOwnerInfo>& out, MonoObject* list);
    static void ConvertStorageProfileList(std::vector<VMInfoStructs::SDatastoreInfo>& out, MonoObject* list);
    static void ConvertInventoryList(std::vector<VMInfoStructs::SInventoryInfo>& out, MonoObject* list);
    static void ConvertVMInfoList(std::vector<VMInfoStructs::SVMInfo>& out, MonoObject* list);

    // Native inventory nodes to a new managed SInventoryLib list in `outList`. Throws ConversionError
    // when a node cannot be added, so that no node goes missing without a word.
    static void ConvertInventoryList(MonoObject*& outList, std::vector<VMInfoStructs::SInventoryInfo>& in);
    static void ConvertList_NativeToManaged(MonoObject* list, const std::vector<VMInfoStructs::SInventoryInfo>& in,
                                            const char* elementClass);

    static void ConvertObject(std::string& out, MonoObject* text);
    static void ConvertObject(VMInfoStructs::SInventoryInfo& out, MonoObject* record);
    static void ConvertObject(VMInfoStructs::SVMOwnerInfo& out, MonoObject* record);
    static void ConvertObject(VMInfoStructs::SVMInfo& out, MonoObject* record);
    static void ConvertObject(VMInfoStructs::SDatastoreInfo& out, MonoObject* record);
    static void ConvertObject(MonoObject*& record, VMInfoStructs::SInventoryInfo in);
    static void ConvertObject(VMInfoStructs::SMgmtVersion& out, MonoObject*& record);
};

}  // namespace VCloudSDKHelper
