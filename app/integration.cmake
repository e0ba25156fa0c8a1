# Keyboard shortcut, login item, update adapter.
