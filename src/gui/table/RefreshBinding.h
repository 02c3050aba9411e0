#pragma once

#include <QObject>
#include <QPointer>
#include <functional>
#include <utility>

namespace daemonary {

// The service table's refresh signal as the inspector holds it: flipping it
// makes the table reload its category. The owner (the table) bounds its life:
// a task that finishes after the owner is gone flips nothing.
class RefreshBinding {
public:
    RefreshBinding() = default;
    RefreshBinding(QObject* owner, std::function<void()> flip)
        : m_owner(owner), m_flip(std::move(flip)) {}

    bool isBound() const { return !m_owner.isNull() && m_flip != nullptr; }

    void flip() const {
        if (isBound()) {
            m_flip();
        }
    }

private:
    QPointer<QObject> m_owner;
    std::function<void()> m_flip;
};

} // namespace daemonary
