#pragma once

#include <QList>
#include <QMetaProperty>
#include <QString>

class QObject;

namespace morvane::localisation {

// The published properties of a component are its Qt properties spelled as the form descriptions spell
// them, with a capital first letter (Name, Caption, Hint, Items, Panels, Text, ...), in declaration
// order, inherited ones first. Qt's own properties (objectName, windowTitle, ...) are not published, so
// a stored row means the same thing here as it always did.
QList<QMetaProperty> publishedProperties(const QMetaObject* meta);
// The published property of that name, compared without regard to case; invalid when there is none.
QMetaProperty findPublishedProperty(const QMetaObject* meta, const QString& name);

// A component is an object with published properties.
bool isComponent(const QObject* object);
// The components that a form owns, in the form's order (its children, each followed by its own), the
// form itself left out.
QList<QObject*> ownedComponents(const QObject* owner);

// A class name without its namespace ("TPanel").
QString className(const QMetaObject* meta);
// The declared type of an object property, without namespace and pointer ("TStrings").
QString declaredTypeName(const QMetaProperty& property);

// True for a property of the long-string kind (text).
bool isTextProperty(const QMetaProperty& property);
// True for a property that holds an object.
bool isObjectProperty(const QMetaProperty& property);

} // namespace morvane::localisation
