// The one call pattern that every bridge operation runs: check the host, attach the thread, marshal the
// arguments, invoke by name, copy results back only on success, and turn a managed exception into the
// operation's failure value.
//
// An operation names its arguments by kind (InText, OutText, ...), in managed parameter order; each kind
// has one Marshaller that owns the storage its argument-array entry points at for the length of the call.
// A kind without a Marshaller does not compile.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ManagedException.h"
#include "MonoValue.h"
#include "RuntimeHost.h"
#include "VCloudSDKHelper.h"
#include "VMInfoStructs.h"
#include "XqMonoLib.h"

namespace vCloudSDKCppBridge {
namespace call {

// ---- argument kinds ----

struct InText { const std::string& text; };          // string
struct OutText { std::string& text; };               // ref string, starts as ""
struct InOutText { std::string& text; };             // ref string, starts as the caller's text
struct Flag { bool value; };                         // bool
struct Int32 { int value; };                         // int
struct Mask { UINT64 value; };                       // ulong property mask
struct Enum32 { int32_t value; };                    // 32-bit enumeration
template <class Record> struct OutRecord {           // ref struct, boxed and zero-filled, read back
    Record& record;
    const char* managedClass;
};
struct InNode {                                      // struct filled from the caller's inventory node
    const VMInfoStructs::SInventoryInfo& node;
    const char* managedClass;
};
template <class T> struct OutList {                  // ref list made by the factory, read back
    std::vector<T>& items;
    const char* managedClass;
    void (*convert)(std::vector<T>&, MonoObject*);
};

template <class E> Enum32 Enum(E value) { return Enum32{static_cast<int32_t>(value)}; }

// ---- marshallers ----
// Each offers: Entry() (the argument-array entry), Collect() (after a true result: read the managed value;
// may throw a managed exception or a conversion error) and Commit() (write the caller's output; nothing
// managed runs any more). A marshaller that cannot make its managed value throws Refused from its
// constructor, after logging why, and the managed method is not called.
// Managed pointers held here live in the operation's stack frame, where the collector finds them.

template <class Kind> class Marshaller;

// A failure found on the native side before the managed method ran, with the text that GetLastErrorString
// gives for it. Whoever throws it has logged the failure.
struct Refused {
    std::string text;
};

struct NoOutput {
    void Collect() {}
    void Commit() {}
};

template <> class Marshaller<InText> : public NoOutput {
public:
    explicit Marshaller(const InText& arg) : m_string(std2gc(arg.text)) {}
    void* Entry() { return m_string; }

private:
    MonoString* m_string;
};

// Output and in/out texts differ only in what their slot starts with.
class TextSlot {
public:
    TextSlot(std::string& text, MonoString* initial) : m_text(text), m_slot(initial) {}
    void* Entry() { return &m_slot; }
    void Collect() { m_result = gc2std(m_slot); }
    void Commit() { m_text.swap(m_result); }

private:
    std::string& m_text;
    MonoString* m_slot;
    std::string m_result;
};

template <> class Marshaller<OutText> : public TextSlot {
public:
    explicit Marshaller(const OutText& arg) : TextSlot(arg.text, std2gc(std::string())) {}
};

template <> class Marshaller<InOutText> : public TextSlot {
public:
    explicit Marshaller(const InOutText& arg) : TextSlot(arg.text, std2gc(arg.text)) {}
};

// Value arguments: the entry is the address of a copy of the value.
template <class Stored, class Kind> class ValueMarshaller : public NoOutput {
public:
    explicit ValueMarshaller(const Kind& arg) : m_value(static_cast<Stored>(arg.value)) {}
    void* Entry() { return &m_value; }

private:
    Stored m_value;
};

template <> class Marshaller<Flag> : public ValueMarshaller<uint8_t, Flag> {
    using ValueMarshaller::ValueMarshaller;
};
template <> class Marshaller<Int32> : public ValueMarshaller<int32_t, Int32> {
    using ValueMarshaller::ValueMarshaller;
};
template <> class Marshaller<Mask> : public ValueMarshaller<uint64_t, Mask> {
    using ValueMarshaller::ValueMarshaller;
};
template <> class Marshaller<Enum32> : public ValueMarshaller<int32_t, Enum32> {
    using ValueMarshaller::ValueMarshaller;
};

// A record class that cannot be made (logged by the maker) refuses the call.
inline MonoObject* NewRecordBox(const char* managedClass) {
    MonoObject* box = NewManagedObjectVCloud(managedClass, false);
    if (box == nullptr) throw Refused{std::string("the managed record ") + managedClass + " cannot be made"};
    return box;
}

template <class Record> class Marshaller<OutRecord<Record>> {
public:
    explicit Marshaller(const OutRecord<Record>& arg) : m_record(arg.record), m_box(NewRecordBox(arg.managedClass)) {}
    // A struct passed by reference: the address of the boxed value's data, filled in place.
    void* Entry() { return MonoAPI::mono_object_unbox_ptr(m_box); }
    void Collect() {}
    // Record converters only read fields: nothing managed runs, so converting in place is all-or-nothing.
    void Commit() { VCloudSDKHelper::CVCloudSDKHelper::ConvertObject(m_record, m_box); }

private:
    Record& m_record;
    MonoObject* m_box;
};

template <> class Marshaller<InNode> : public NoOutput {
public:
    explicit Marshaller(const InNode& arg) : m_box(NewRecordBox(arg.managedClass)) {
        // The converter takes the node by value: the caller's node is never touched.
        VCloudSDKHelper::CVCloudSDKHelper::ConvertObject(m_box, arg.node);
    }
    void* Entry() { return MonoAPI::mono_object_unbox_ptr(m_box); }

private:
    MonoObject* m_box;
};

template <class T> class Marshaller<OutList<T>> {
public:
    // A list that cannot be made (logged by CreateList) leaves the slot null and the call goes ahead: the
    // wrapper may put a list of its own there.
    explicit Marshaller(const OutList<T>& arg)
        : m_items(arg.items), m_convert(arg.convert), m_class(arg.managedClass),
          m_slot(VCloudSDKHelper::CVCloudSDKHelper::CreateList(arg.managedClass)), m_made(m_slot != nullptr) {}
    void* Entry() { return &m_slot; }
    // Converted aside first: a conversion that fails half-way leaves the caller's vector as it was.
    // A null slot after true means "no entries" when the wrapper itself nulled the list the bridge gave
    // it; when the bridge had no list to give and the wrapper put none there, true says nothing about
    // the list, so it is a failure, not an empty list.
    void Collect() {
        if (m_slot != nullptr) {
            m_convert(m_result, m_slot);
        } else if (!m_made) {
            g_vCloudDebug.error("The managed method returned true but left no list of [%s] in its slot", m_class);
            throw Refused{std::string("the wrapper returned true but gave no list of ") + m_class};
        }
    }
    void Commit() { m_items.swap(m_result); }

private:
    std::vector<T>& m_items;
    void (*m_convert)(std::vector<T>&, MonoObject*);
    const char* m_class;
    MonoObject* m_slot;
    const bool m_made;  // the factory made the list that the slot held on entry
    std::vector<T> m_result;
};

// ---- texts that cannot cross ----

// A managed string ends at its length, a native text at its first NUL: a text with a NUL inside would
// reach the wrapper cut short and name another entity ("vm-7\0x" is not "vm-7"). Such a call is refused.
inline void CheckText(const char* method, int position, const std::string& text) {
    if (text.find('\0') == std::string::npos) return;
    g_vCloudDebug.error("Text argument %d of [%s] holds a NUL byte: the call is refused", position, method);
    throw Refused{"text argument " + std::to_string(position) + " holds a NUL byte"};
}

template <class Kind> void CheckArgument(const char*, int, const Kind&) {}
inline void CheckArgument(const char* method, int position, const InText& arg) { CheckText(method, position, arg.text); }
inline void CheckArgument(const char* method, int position, const InOutText& arg) {
    CheckText(method, position, arg.text);
}

template <class... Kinds> void CheckArguments([[maybe_unused]] const char* method, const Kinds&... kinds) {
    [[maybe_unused]] int position = 0;
    (CheckArgument(method, ++position, kinds), ...);
}

// ---- the call ----

inline std::string ErrorText(const char* method, const std::string& reason) { return std::string(method) + ": " + reason; }

inline std::string ExceptionText(const ManagedException& exception) {
    return exception.message.empty() ? exception.className : exception.className + ": " + exception.message;
}

// Runs `body` under the exception rule: a managed exception is logged against the operation's signature
// text and becomes `failure`; so does a managed result that cannot be converted, and a call refused on
// the native side. Each of them becomes the calling thread's last error text. Nothing else is caught.
template <class Result, class Body>
Result Guarded(CVCloudWrapperPtr* host, const char* signature, const char* method, Result failure, Body&& body) {
    try {
        return body();
    } catch (const ManagedException& exception) {
        LogManagedException(signature, exception);
        host->SetBridgeError(ErrorText(method, ExceptionText(exception)));
        return failure;
    } catch (const VCloudSDKHelper::CVCloudSDKHelper::ConversionError& error) {
        // The converter has logged why (a broken managed list, a tree too deep or cyclic); the caller's
        // outputs are still untouched.
        EvDebug log(nullptr);
        log.Error(signature, "Conversion between managed and native values failed");
        host->SetBridgeError(ErrorText(method, error.text));
        return failure;
    } catch (const Refused& refused) {
        host->SetBridgeError(ErrorText(method, refused.text));
        return failure;
    }
}

// The wrapper object that the call uses, held until the call returns; null when the host cannot take a
// call (an operation called before Initialize succeeded touches nothing).
inline WrapperRef Enter(CVCloudWrapperPtr* host, const char* method) {
    WrapperRef target = CVCloudWrapperPtr::c_VCloudmonoInitStatus ? host->Current() : nullptr;
    if (target == nullptr) {
        g_vCloudDebug.error("vCloudSDKWrapper is not initialized, cannot call [%s]", method);
        host->SetBridgeError(ErrorText(method, "vCloudSDKWrapper is not initialized (Initialize has not succeeded)"));
        return nullptr;
    }
    host->ThreadAttach();
    return target;
}

// Marshals `kinds`, lets `invoke` call the managed method with the argument array, and copies every
// output back when `invoke` reports success.
template <class Invoke, class... Kinds>
bool Marshalled(const char* method, Invoke&& invoke, const Kinds&... kinds) {
    CheckArguments(method, kinds...);
    std::tuple<Marshaller<Kinds>...> marshallers(kinds...);
    return std::apply(
        [&](auto&... m) {
            void* args[sizeof...(Kinds) + 1] = {m.Entry()..., nullptr};
            if (!invoke(args)) return false;
            (m.Collect(), ...);
            (m.Commit(), ...);
            return true;
        },
        marshallers);
}

// The wrapper's own text for the failure it has just reported on this thread, kept by the bridge: it
// stays the thread's last error even when Initialize puts another wrapper object in place meanwhile.
inline std::string WrapperErrorText(CVCloudWrapperPtr* host, const WrapperRef& target, const char* method) {
    std::string text;
    try {
        void* args[1] = {nullptr};
        if (MonoObject* value = host->Invoke(target, "getLastErrorString", args, nullptr)) {
            text = gc2std(reinterpret_cast<MonoString*>(value));
        }
    } catch (const ManagedException&) {
        // No text from the wrapper: the bridge's own below.
    }
    return text.empty() ? ErrorText(method, "the wrapper reported a failure without a text") : text;
}

// Invokes a bool method on `target`. False from the wrapper comes with the wrapper's text; no result at
// all is the bridge's failure and gets the bridge's text.
inline bool InvokeBool(CVCloudWrapperPtr* host, const WrapperRef& target, const char* method, void** args) {
    std::string why;
    const bool ok = host->Invoke(target, false, method, args, &why);
    if (!ok) host->SetBridgeError(why.empty() ? WrapperErrorText(host, target, method) : ErrorText(method, why));
    return ok;
}

// bool result on a given wrapper object: outputs are copied back only when the method returned true.
template <class... Kinds>
bool CallBoolOn(CVCloudWrapperPtr* host, const WrapperRef& target, const char* method, const Kinds&... kinds) {
    return Marshalled(method, [&](void** args) { return InvokeBool(host, target, method, args); }, kinds...);
}

// bool result: the managed method returns bool; outputs are copied back only when it returned true.
template <class... Kinds>
bool CallBool(CVCloudWrapperPtr* host, const char* signature, const char* method, const Kinds&... kinds) {
    return Guarded(host, signature, method, false, [&] {
        WrapperRef target = Enter(host, method);
        return target != nullptr && CallBoolOn(host, target, method, kinds...);
    });
}

// object result: the managed method returns a list, converted into `items` when not null.
template <class T, class... Kinds>
bool CallList(CVCloudWrapperPtr* host, const char* signature, const char* method, std::vector<T>& items,
              void (*convert)(std::vector<T>&, MonoObject*), const Kinds&... kinds) {
    return Guarded(host, signature, method, false, [&] {
        WrapperRef target = Enter(host, method);
        if (target == nullptr) return false;
        return Marshalled(
            method,
            [&](void** args) {
                std::string why;
                MonoObject* list = host->Invoke(target, method, args, &why);
                if (list == nullptr) {
                    // No list from the wrapper is its failure, told in its own text.
                    host->SetBridgeError(why.empty() ? WrapperErrorText(host, target, method) : ErrorText(method, why));
                    return false;
                }
                std::vector<T> result;
                convert(result, list);
                items.swap(result);
                return true;
            },
            kinds...);
    });
}

// The calling thread's last error as the bridge kept it; before any failure, what the wrapper's string
// method returns ("" when it returns none). Reading it changes no error text.
inline std::string CallLastError(CVCloudWrapperPtr* host, const char* signature, const char* method) {
    std::string result;
    if (host->BridgeError(result)) return result;
    WrapperRef target = CVCloudWrapperPtr::c_VCloudmonoInitStatus ? host->Current() : nullptr;
    if (target == nullptr) {
        g_vCloudDebug.error("vCloudSDKWrapper is not initialized, cannot call [%s]", method);
        return result;
    }
    host->ThreadAttach();
    try {
        void* args[1] = {nullptr};
        host->Invoke(target, result, method, args);
    } catch (const ManagedException& exception) {
        LogManagedException(signature, exception);
    }
    return result;
}

}  // namespace call
}  // namespace vCloudSDKCppBridge
