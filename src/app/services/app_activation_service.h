// Brings the application's window to the front, over other applications.
#pragma once

class AppActivationService {
public:
    virtual ~AppActivationService() = default;
    virtual void bringToFront() const;
};
