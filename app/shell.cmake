# The application shell: delegate, status item, menus, icon, entry point.
