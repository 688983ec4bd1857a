#pragma once
// The stored description of a window: its own properties, then each control and component with
// its settings, in the order in which they are applied. The main window is built from it.

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

// The name of one of the window's event handlers, bound when the description is applied.
struct HandlerName {
    std::string name;
    bool operator==(const HandlerName&) const = default;
};

using StoredValue =
    std::variant<std::int64_t, bool, std::string, std::vector<std::string>, HandlerName>;

struct StoredProperty {
    std::string name;
    StoredValue value;
};

struct StoredComponent {
    std::string className;
    std::string name;
    std::vector<StoredProperty> properties;

    // Replaces the value of a stored property, or appends it when absent.
    void Set(const std::string& property, StoredValue value);
    const StoredValue* Find(const std::string& property) const;
};

struct FormDescription {
    StoredComponent form;
    std::vector<StoredComponent> components;

    // The component of that name; std::out_of_range when there is none.
    StoredComponent& Component(const std::string& name);
    const StoredComponent& Component(const std::string& name) const;
};

// The main window as the program uses it.
const FormDescription& StoredForm1();
