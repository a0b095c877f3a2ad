#include "epub/Ebook_json.h"

CEbookJson::~CEbookJson() = default;
