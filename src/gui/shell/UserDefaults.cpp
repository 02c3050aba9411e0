#include "shell/UserDefaults.h"

#include <QSettings>

namespace daemonary {

UserDefaults::UserDefaults(QObject* parent)
    : QObject(parent), m_settings(std::make_unique<QSettings>()) {}

UserDefaults::UserDefaults(const QString& iniFilePath, QObject* parent)
    : QObject(parent), m_settings(std::make_unique<QSettings>(iniFilePath, QSettings::IniFormat)) {}

UserDefaults::~UserDefaults() = default;

UserDefaults& UserDefaults::standard() {
    // Kept for the life of the process like the platform's own defaults
    // object; never destroyed, so nothing depends on static destruction order.
    static UserDefaults* const instance = new UserDefaults();
    return *instance;
}

void UserDefaults::registerDefaults(const QVariantMap& defaults) {
    for (auto it = defaults.cbegin(); it != defaults.cend(); ++it) {
        m_registered.insert(it.key(), it.value());
    }
}

bool UserDefaults::hasStoredValue(const QString& key) const {
    return m_settings->contains(key);
}

QVariant UserDefaults::value(const QString& key) const {
    if (m_settings->contains(key)) {
        return m_settings->value(key);
    }
    return m_registered.value(key);
}

bool UserDefaults::boolValue(const QString& key, bool fallback) const {
    const QVariant stored = value(key);
    // INI files hand booleans back as the strings "true"/"false".
    return stored.isValid() ? stored.toBool() : fallback;
}

void UserDefaults::setValue(const QString& key, const QVariant& value) {
    if (m_settings->contains(key) && m_settings->value(key) == value) {
        return;
    }
    m_settings->setValue(key, value);
    // Written at once: the shared instance is never destroyed, so nothing
    // would flush it when the application quits.
    m_settings->sync();
    emit valueChanged(key);
}

void UserDefaults::removeValue(const QString& key) {
    if (!m_settings->contains(key)) {
        return;
    }
    m_settings->remove(key);
    m_settings->sync();
    emit valueChanged(key);
}

} // namespace daemonary
