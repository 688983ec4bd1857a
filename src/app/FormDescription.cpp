#include "app/FormDescription.h"

#include <algorithm>
#include <stdexcept>

void StoredComponent::Set(const std::string& property, StoredValue value) {
    auto found = std::find_if(properties.begin(), properties.end(),
                              [&](const StoredProperty& p) { return p.name == property; });
    if (found != properties.end()) {
        found->value = std::move(value);
    } else {
        properties.push_back({property, std::move(value)});
    }
}

const StoredValue* StoredComponent::Find(const std::string& property) const {
    auto found = std::find_if(properties.begin(), properties.end(),
                              [&](const StoredProperty& p) { return p.name == property; });
    return found != properties.end() ? &found->value : nullptr;
}

StoredComponent& FormDescription::Component(const std::string& name) {
    auto found = std::find_if(components.begin(), components.end(),
                              [&](const StoredComponent& c) { return c.name == name; });
    if (found == components.end()) {
        throw std::out_of_range("no component named " + name);
    }
    return *found;
}

const StoredComponent& FormDescription::Component(const std::string& name) const {
    return const_cast<FormDescription*>(this)->Component(name);
}
