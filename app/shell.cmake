# The application shell: delegate, status item, menus, icon, entry point.
target_sources(noctave_app PRIVATE
  Alerts.cpp
  AppDelegate.cpp
  EntryPoint.cpp
  MainMenu.cpp
  MenuBarIcon.cpp
  QtRuntime.cpp
  SystemStatusItem.cpp
  TerminationSignals.cpp
)
