// Root of the framework's class tree, as the application framework has it:
// polymorphic destruction and nothing else.
#pragma once

class CObject {
public:
    CObject() = default;
    virtual ~CObject() = default;
    CObject(const CObject&) = default;
    CObject& operator=(const CObject&) = default;
};
