// The About dialog TAboutForm.
#pragma once

#include "shell/views.h"

namespace kvx {

class TAboutForm : public Form {
public:
    TAboutForm();
};

}  // namespace kvx
