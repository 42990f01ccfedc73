// The biller's version: the project version, followed by "+g<commit>" when
// built from a git checkout.
#ifndef FRAMEWORK_VERSION_H_
#define FRAMEWORK_VERSION_H_

namespace tvx {

const char* BillerVersion();

}  // namespace tvx

#endif  // FRAMEWORK_VERSION_H_
