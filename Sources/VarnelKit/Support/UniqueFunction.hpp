#pragma once

#include <concepts>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace varnel {

template <class Signature> class UniqueFunction;

// A callable wrapper that, unlike std::function, holds move-only callables: a lambda that owns a
// unique_ptr or a promise. Itself move-only.
template <class R, class... Args> class UniqueFunction<R(Args...)> {
public:
    UniqueFunction() noexcept = default;
    UniqueFunction(std::nullptr_t) noexcept {}

    template <class F>
    requires(!std::same_as<std::remove_cvref_t<F>, UniqueFunction> &&
             std::is_invocable_r_v<R, std::decay_t<F>&, Args...>) UniqueFunction(F&& function)
        : callable_(std::make_unique<Holder<std::decay_t<F>>>(std::forward<F>(function))) {}

    UniqueFunction(UniqueFunction&&) noexcept = default;
    UniqueFunction& operator=(UniqueFunction&&) noexcept = default;
    UniqueFunction(const UniqueFunction&) = delete;
    UniqueFunction& operator=(const UniqueFunction&) = delete;

    explicit operator bool() const noexcept { return callable_ != nullptr; }

    // Calling an empty wrapper throws std::bad_function_call, as std::function does.
    R operator()(Args... args) {
        if (!callable_)
            throw std::bad_function_call();
        return callable_->call(std::forward<Args>(args)...);
    }

private:
    struct Callable {
        virtual ~Callable() = default;
        virtual R call(Args&&... args) = 0;
    };

    template <class F> struct Holder final : Callable {
        template <class G> explicit Holder(G&& function) : function(std::forward<G>(function)) {}
        R call(Args&&... args) override { return std::invoke(function, std::forward<Args>(args)...); }
        F function;
    };

    std::unique_ptr<Callable> callable_;
};

} // namespace varnel
