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
// Each offers: Ready() (false: fail the operation without calling the managed method), Entry() (the
// argument-array entry), Collect() (after a true result: read the managed value; may throw a managed
// exception) and Commit() (write the caller's output; nothing managed runs any more).
// Managed pointers held here live in the operation's stack frame, where the collector finds them.

template <class Kind> class Marshaller;

struct NoOutput {
    bool Ready() const { return true; }
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
    bool Ready() const { return true; }
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

template <class Record> class Marshaller<OutRecord<Record>> {
public:
    explicit Marshaller(const OutRecord<Record>& arg)
        : m_record(arg.record), m_box(NewManagedObjectVCloud(arg.managedClass, false)) {}
    bool Ready() const { return m_box != nullptr; }
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
    explicit Marshaller(const InNode& arg) : m_box(NewManagedObjectVCloud(arg.managedClass, false)) {
        // The converter takes the node by value: the caller's node is never touched.
        if (m_box != nullptr) VCloudSDKHelper::CVCloudSDKHelper::ConvertObject(m_box, arg.node);
    }
    bool Ready() const { return m_box != nullptr; }
    void* Entry() { return MonoAPI::mono_object_unbox_ptr(m_box); }

private:
    MonoObject* m_box;
};

template <class T> class Marshaller<OutList<T>> {
public:
    // A list that cannot be made leaves a null slot; the managed method may still put a list there.
    explicit Marshaller(const OutList<T>& arg)
        : m_items(arg.items), m_convert(arg.convert),
          m_slot(VCloudSDKHelper::CVCloudSDKHelper::CreateList(arg.managedClass)) {}
    bool Ready() const { return true; }
    void* Entry() { return &m_slot; }
    // Converted aside first: a conversion that fails half-way leaves the caller's vector as it was.
    void Collect() { m_convert(m_result, m_slot); }
    void Commit() { m_items.swap(m_result); }

private:
    std::vector<T>& m_items;
    void (*m_convert)(std::vector<T>&, MonoObject*);
    MonoObject* m_slot;
    std::vector<T> m_result;
};

// ---- the call ----

// Runs `body` under the exception rule: a managed exception is logged against the operation's signature
// text and becomes `failure`; so does a managed result that cannot be converted. Nothing else is caught.
template <class Result, class Body>
Result Guarded(const char* signature, Result failure, Body&& body) {
    try {
        return body();
    } catch (MonoObject* exception) {
        LogException(signature, exception);
        return failure;
    } catch (const VCloudSDKHelper::CVCloudSDKHelper::ConversionError&) {
        // The converter has logged why (a broken managed list, a tree too deep or cyclic); the caller's
        // outputs are still untouched.
        EvDebug log(nullptr);
        log.Error(signature, "Conversion between managed and native values failed");
        return failure;
    }
}

// True when the host can take a call; an operation called before Initialize succeeded touches nothing.
inline bool Enter(CVCloudWrapperPtr* host, const char* method) {
    if (host == nullptr || !host->IsReady()) {
        g_vCloudDebug.error("vCloudSDKWrapper is not initialized, cannot call [%s]", method);
        return false;
    }
    host->ThreadAttach();
    return true;
}

// Marshals `kinds`, lets `invoke` call the managed method with the argument array, and copies every
// output back when `invoke` reports success.
template <class Invoke, class... Kinds>
bool Marshalled(Invoke&& invoke, const Kinds&... kinds) {
    std::tuple<Marshaller<Kinds>...> marshallers(kinds...);
    return std::apply(
        [&](auto&... m) {
            if (!(m.Ready() && ... && true)) return false;
            void* args[sizeof...(Kinds) + 1] = {m.Entry()..., nullptr};
            if (!invoke(args)) return false;
            (m.Collect(), ...);
            (m.Commit(), ...);
            return true;
        },
        marshallers);
}

// bool result: the managed method returns bool; outputs are copied back only when it returned true.
template <class... Kinds>
bool CallBool(CVCloudWrapperPtr* host, const char* signature, const char* method, const Kinds&... kinds) {
    return Guarded(signature, false, [&] {
        if (!Enter(host, method)) return false;
        return Marshalled([&](void** args) { return host->Invoke(false, method, args); }, kinds...);
    });
}

// object result: the managed method returns a list, converted into `items` when not null.
template <class T, class... Kinds>
bool CallList(CVCloudWrapperPtr* host, const char* signature, const char* method, std::vector<T>& items,
              void (*convert)(std::vector<T>&, MonoObject*), const Kinds&... kinds) {
    return Guarded(signature, false, [&] {
        if (!Enter(host, method)) return false;
        return Marshalled(
            [&](void** args) {
                MonoObject* list = host->Invoke(method, args);
                if (list == nullptr) return false;
                std::vector<T> result;
                convert(result, list);
                items.swap(result);
                return true;
            },
            kinds...);
    });
}

// string result: the managed method returns a string; "" when it returns none.
inline std::string CallString(CVCloudWrapperPtr* host, const char* signature, const char* method) {
    return Guarded(signature, std::string(), [&] {
        std::string result;
        if (!Enter(host, method)) return result;
        void* args[1] = {nullptr};
        return host->Invoke(result, method, args);
    });
}

}  // namespace call
}  // namespace vCloudSDKCppBridge
