# Keyboard shortcut, login item, update adapter.
target_sources(noctave_app PRIVATE
  HotKeyController.cpp
  LoginItem.cpp
  AppcastUpdater.cpp
  UpdateController.cpp
)
