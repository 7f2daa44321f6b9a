#pragma once

#include <QTextDocument>

// A rich text document for text from the network. It loads no resource
// (image, style sheet) from a file or anywhere else: only the program's own
// compiled-in "qrc:" resources are available to it, and any other image shows
// as a transparent pixel. Formatting and links are those of any QTextDocument.
// Owned by its QObject parent.
class InertTextDocument : public QTextDocument
{
    Q_OBJECT
public:
    explicit InertTextDocument(QObject *parent = nullptr);

protected:
    QVariant loadResource(int type, const QUrl &name) override;
};
