#pragma once

#include <memory>
#include <utility>

namespace noctave::runtime {

// The project's one pattern for callbacks that may outlive their owner.
//
// The owner declares `WeakFactory<Self> weakFactory_{this};` as its LAST member, so that it
// is destroyed first and every WeakPtr it handed out reads null before any other member goes.
// A WeakPtr is checked and used on the owner's sequence (for almost every owner, the main
// queue): post callbacks to that queue and let them test the pointer there.
template <class T>
class WeakPtr {
  public:
    WeakPtr() = default;
    WeakPtr(std::weak_ptr<const void> token, T* object)
        : token_(std::move(token)), object_(object) {}

    T* get() const { return token_.expired() ? nullptr : object_; }
    explicit operator bool() const { return get() != nullptr; }
    T* operator->() const { return get(); }

  private:
    std::weak_ptr<const void> token_;
    T* object_ = nullptr;
};

template <class T>
class WeakFactory {
  public:
    explicit WeakFactory(T* owner) : owner_(owner) {}
    ~WeakFactory() = default;
    WeakFactory(const WeakFactory&) = delete;
    WeakFactory& operator=(const WeakFactory&) = delete;

    WeakPtr<T> weak() const { return WeakPtr<T>(token_, owner_); }

    // Makes every pointer handed out so far read null; later ones are valid again.
    void invalidate() { token_ = std::make_shared<char>(); }

  private:
    T* owner_;
    std::shared_ptr<const void> token_ = std::make_shared<char>();
};

// Wraps fn(T&, args...) into a callable that does nothing once the owner is gone.
template <class T, class F>
auto bindWeak(WeakPtr<T> weak, F fn) {
    return [weak = std::move(weak), fn = std::move(fn)](auto&&... args) {
        if (T* self = weak.get()) {
            fn(*self, std::forward<decltype(args)>(args)...);
        }
    };
}

}  // namespace noctave::runtime
