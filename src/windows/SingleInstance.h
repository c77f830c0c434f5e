#pragma once

#include <windows.h>

namespace dovo {

// One Dovo per session: a named mutex, held until the process ends however
// it ends. A second start hands the first a left click on its icon.
class SingleInstance
{
public:
    enum class Role
    {
        First,
        Forwarded,
        Unanswered
    };

    SingleInstance() = default;
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;
    ~SingleInstance();

    Role Claim();

private:
    HANDLE mutex_ = nullptr;
};

} // namespace dovo
