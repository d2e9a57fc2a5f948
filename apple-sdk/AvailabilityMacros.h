// Included by GoogleTest's headers, which use nothing of it.
#pragma once
