import orvu_sdk_core


def pytest_report_header(config):
    return f"orvu_sdk_core from {orvu_sdk_core.__file__}"
