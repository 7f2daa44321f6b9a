#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <vector>

// The keys of a product ini as Qt's INI settings read them (the publisher
// writes it with them): the sections in their order ([General]'s keys are
// apart), each section's keys in their order with "\" read as "/", and each
// value's text. Held as one buffer of UTF-8 text and a few numbers a key, so
// that a list of many thousand files stays small and no string is made for a
// key that is not used.
//
// The lines the publisher writes (plain names, values of digits, letters and
// ":" and a few signs) are read here directly; a file with anything else in
// it (quotes, escapes, comments, names beyond ASCII, a key twice, ...) is
// read through QSettings instead, with the same result.
class ProductIniReader
{
public:
    struct Key
    {
        quint32 keyOffset = 0;
        quint32 keyLength = 0;
        quint32 valueOffset = 0;
        quint32 valueLength = 0;
        // Index into sections().
        quint32 section = 0;
    };

    // Reads the file; false if it cannot be read. A file larger than limit
    // bytes reads as one without keys.
    bool read(const QString &path, qint64 limit);
    // The same for [General]'s keys only: the other sections' keys are
    // neither kept nor put in order.
    bool readGeneral(const QString &path, qint64 limit);
    // Reads bytes as the file's content.
    void readBytes(const QByteArray &bytes);

    // The sections other than [General], in QSettings' order.
    const QStringList &sections() const { return m_sections; }
    // The keys of those sections, section after section.
    const std::vector<Key> &keys() const { return m_keys; }
    // The value of a key of [General]; null if there is none, empty (not
    // null) if it is empty.
    QString general(const QString &key) const;

    QByteArrayView key(const Key &key) const
    {
        return QByteArrayView(m_text.constData() + key.keyOffset, key.keyLength);
    }
    QByteArrayView value(const Key &key) const
    {
        return QByteArrayView(m_text.constData() + key.valueOffset, key.valueLength);
    }
    QString keyText(const Key &key) const { return QString::fromUtf8(this->key(key)); }
    QString valueText(const Key &key) const { return QString::fromUtf8(value(key)); }

    // Whether the lines were read directly (false: through QSettings).
    bool readDirectly() const { return m_direct; }

    // Reads bytes through QSettings only; for comparing the two ways.
    void readThroughSettings(const QByteArray &bytes);

private:
    bool read(const QString &path, qint64 limit, bool generalOnly);
    bool readDirect(bool generalOnly);
    void readWithSettings(const QString &path);

    QByteArray m_text;
    QStringList m_sections;
    std::vector<Key> m_keys;
    std::vector<Key> m_general;
    bool m_direct = false;
};
