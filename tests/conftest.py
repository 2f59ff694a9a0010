pytest_plugins = ["quenlet_master.local_index.pytest_plugin"]
