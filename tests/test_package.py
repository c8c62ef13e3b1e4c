import korvane


def test_package_exposes_its_version():
    assert isinstance(korvane.__version__, str) and korvane.__version__.count(".") == 2
