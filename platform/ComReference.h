// One reference of a COM object, released when it goes.
#pragma once

#include <objbase.h>

namespace platform {

template <typename Interface>
class ComReference {
public:
    ComReference() = default;
    ~ComReference() {
        if (object_ != nullptr) object_->Release();
    }
    ComReference(const ComReference&) = delete;
    ComReference& operator=(const ComReference&) = delete;
    Interface* operator->() const { return object_; }
    Interface* get() const { return object_; }
    Interface** put() { return &object_; }
    void** putVoid() { return reinterpret_cast<void**>(&object_); }

private:
    Interface* object_ = nullptr;
};

}  // namespace platform
