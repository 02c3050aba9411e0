#pragma once

#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantMap>
#include <memory>

class QSettings;

namespace daemonary {

// The user defaults: values stored through QSettings (on macOS the real
// defaults domain, elsewhere the platform's settings file) over a
// registration domain of in-memory defaults that is never written.
// GUI thread only.
class UserDefaults : public QObject {
    Q_OBJECT

public:
    // Production store: QSettings for the application's organisation and name.
    explicit UserDefaults(QObject* parent = nullptr);
    // A store of its own, for tests and tools (an INI file at that path).
    explicit UserDefaults(const QString& iniFilePath, QObject* parent = nullptr);
    ~UserDefaults() override;

    static UserDefaults& standard();

    // Adds to the registration domain; keys already stored keep their value.
    void registerDefaults(const QVariantMap& defaults);
    QVariant registeredValue(const QString& key) const { return m_registered.value(key); }
    bool isRegistered(const QString& key) const { return m_registered.contains(key); }

    bool hasStoredValue(const QString& key) const;
    // The stored value, else the registered one, else an invalid QVariant.
    QVariant value(const QString& key) const;
    bool boolValue(const QString& key, bool fallback = false) const;

    void setValue(const QString& key, const QVariant& value);
    void removeValue(const QString& key);

signals:
    // A stored value was set, changed or removed through this object.
    void valueChanged(const QString& key);

private:
    std::unique_ptr<QSettings> m_settings;
    QVariantMap m_registered;
};

} // namespace daemonary
