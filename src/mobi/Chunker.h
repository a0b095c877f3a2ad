// Cutting one KF8 content file into a skeleton and fragments.
#pragma once
