namespace quillbox { int UiPlaceholder() { return 0; } }
