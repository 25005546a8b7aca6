#include "Published.h"

#include <QObject>

namespace morvane::localisation {

namespace {

bool isPublishedName(const char* name) {
    return name[0] >= 'A' && name[0] <= 'Z';
}

void collectComponents(const QObject* parent, QList<QObject*>& components) {
    for (QObject* child : parent->children()) {
        if (isComponent(child))
            components.append(child);
        collectComponents(child, components);
    }
}

QString withoutNamespace(QString name) {
    const qsizetype at = name.lastIndexOf(QLatin1String("::"));
    return at < 0 ? name : name.mid(at + 2);
}

} // namespace

QList<QMetaProperty> publishedProperties(const QMetaObject* meta) {
    QList<QMetaProperty> properties;
    for (int i = 0; i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        if (isPublishedName(property.name()))
            properties.append(property);
    }
    return properties;
}

QMetaProperty findPublishedProperty(const QMetaObject* meta, const QString& name) {
    for (int i = 0; i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        if (isPublishedName(property.name()) && name.compare(QLatin1String(property.name()), Qt::CaseInsensitive) == 0)
            return property;
    }
    return {};
}

bool isComponent(const QObject* object) {
    const QMetaObject* meta = object->metaObject();
    for (int i = 0; i < meta->propertyCount(); ++i) {
        if (isPublishedName(meta->property(i).name()))
            return true;
    }
    return false;
}

QList<QObject*> ownedComponents(const QObject* owner) {
    QList<QObject*> components;
    collectComponents(owner, components);
    return components;
}

QString className(const QMetaObject* meta) {
    return withoutNamespace(QString::fromLatin1(meta->className()));
}

QString declaredTypeName(const QMetaProperty& property) {
    QString name = QString::fromLatin1(property.typeName());
    while (name.endsWith(QLatin1Char('*')))
        name.chop(1);
    return withoutNamespace(name.trimmed());
}

bool isTextProperty(const QMetaProperty& property) {
    return property.metaType().id() == QMetaType::QString;
}

bool isObjectProperty(const QMetaProperty& property) {
    return property.metaType().flags().testFlag(QMetaType::PointerToQObject);
}

} // namespace morvane::localisation
